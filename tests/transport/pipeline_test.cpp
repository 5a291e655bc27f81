// The whole road of a record, from QuillMarkSendLog to the loopback collector, and what the
// collector's answer makes the library keep for a later attempt. Each scenario runs in a child
// process because the library's sending thread and registry are process-wide.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/quillmark_impl.h"
#include "core/libraryState.h"
#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "transport/exchangeDeadline.h"
#include "transport/httpSender.h"
#include "util/jsonText.h"

using qm_test::bodiesOf;
using qm_test::CollectorOptions;
using qm_test::CollectorProcess;
using qm_test::runInChild;
using qm_test::TempDir;

namespace {

const int kChildTimeoutMs = 30000;

struct Target {
    std::string address;
    uint16_t port;
};

Target targetOf(const CollectorProcess& collector) {
    return Target{collector.address(), collector.port()};
}

int initUser(const Target& target, const std::string& storage, bool asyncStart,
             const char* project = "PipeApp") {
    return QuillMarkInitialize(project, storage.c_str(), "1.0.0", target.address.c_str(),
                               target.port, nullptr, nullptr, true, asyncStart, "quillmark-user");
}

// Session record plus three logs, held back until all are queued so they travel as one batch.
int sendFourInOneBatch(const Target& target, const std::string& storage,
                       const std::string& storedFile) {
    qm_test::observeStorage(storedFile);
    if (initUser(target, storage, true) != 0) return 2;
    if (QuillMarkSendLog(QUILLMARK_ERROR, "keep-1") != 1) return 3;
    if (QuillMarkSendLog(QUILLMARK_WARN, "FAIL-2") != 1) return 4;
    if (QuillMarkSendLog(QUILLMARK_INFO, "keep-3") != 1) return 5;
    QuillMarkStartSendThread();
    QuillMarkDestroy();  // drains the queue and waits for the pass in flight
    return 0;
}

}  // namespace

TEST(Pipeline, PlainHttpPostsOneJsonArrayPerPass) {
    CollectorProcess collector;
    TempDir storage;
    const Target target = targetOf(collector);
    ASSERT_EQ(0, runInChild(
                     [&] {
                         qm_test::observeStorage(storage.file("stored.jsonl"));
                         if (initUser(target, storage.path(), true) != 0) return 2;
                         QuillMarkAddCustomKey("build", "42");
                         QuillMarkSendLog(QUILLMARK_ERROR, "first \"quoted\"\nline");
                         QuillMarkSendLog(QUILLMARK_FATAL, "second");
                         QuillMarkStartSendThread();
                         return collector.waitForRecords(3, 10000) ? 0 : 3;
                     },
                     kChildTimeoutMs));

    const std::vector<Json::Value> requests = collector.requests();
    ASSERT_EQ(1u, requests.size());
    const Json::Value& request = requests[0];
    EXPECT_EQ("POST", request["method"].asString());
    EXPECT_EQ("/v2/log", request["path"].asString());
    EXPECT_EQ("application/json", request["headers"]["Content-Type"].asString());
    EXPECT_EQ("127.0.0.1:" + std::to_string(target.port), request["headers"]["Host"].asString());
    const std::string body = request["body"].asString();
    EXPECT_EQ(std::to_string(body.size()), request["headers"]["Content-Length"].asString());
    // Each object is followed by its own line feed, then "," or the closing bracket.
    ASSERT_GE(body.size(), 4u);
    EXPECT_EQ('[', body.front());
    EXPECT_EQ("\n]", body.substr(body.size() - 2));
    EXPECT_EQ(2u, [&] {
        size_t joints = 0;
        for (size_t at = body.find("}\n,{"); at != std::string::npos;
             at = body.find("}\n,{", at + 1))
            ++joints;
        return joints;
    }());

    const std::vector<Json::Value> records = collector.records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ((std::vector<std::string>{"CREATE SESSION", "first \"quoted\"\nline", "second"}),
              bodiesOf(records));
    for (size_t i = 0; i < records.size(); ++i) {
        const Json::Value& record = records[i];
        EXPECT_EQ(std::to_string(i), record["qmkBulkIndex"].asString());
        EXPECT_EQ("v2", record["logVersion"].asString());
        EXPECT_EQ("unknown", record["NetworkModel"].asString());
        EXPECT_EQ("Cellular", record["NetworkType"].asString());
        EXPECT_FALSE(record["host"].asString().empty());
        EXPECT_FALSE(record.isMember("handlerName"));
        for (const std::string& key : record.getMemberNames()) {
            EXPECT_TRUE(record[key].isString()) << key;
        }
    }
    EXPECT_EQ("42", records[1]["build"].asString());
    EXPECT_EQ("FATAL", records[2]["logLevel"].asString());
    EXPECT_TRUE(qm_test::readStored(storage.file("stored.jsonl")).empty());
}

// Records share their channel's fields until they change: every record, queued before any
// is sent, must carry the user ID and custom fields of the moment it was logged.
struct FieldsAtLogTime {
    const char* body;
    std::function<void()> changeBefore;
    const char* userId;  // "" when none
    const char* k;
    const char* other;
};

TEST(Pipeline, EachRecordCarriesTheChannelFieldsOfTheMomentItWasLogged) {
    const std::vector<FieldsAtLogTime> rows = {
        {"plain", [] {}, "", "", ""},
        {"user and k",
         [] {
             QuillMarkSetUserId("u1");
             QuillMarkAddCustomKey("k", "1");
         },
         "u1", "1", ""},
        {"k replaced, other added",
         [] {
             QuillMarkAddCustomKey("k", "2");
             QuillMarkAddCustomKey("other", "x");
         },
         "u1", "2", "x"},
        {"k removed, user changed",
         [] {
             QuillMarkRemoveCustomKey("k");
             QuillMarkSetUserId("u2");
         },
         "u2", "", "x"},
        {"all custom keys cleared", [] { QuillMarkClearCustomKeys(); }, "u2", "", ""},
    };
    CollectorProcess collector;
    TempDir storage;
    const Target target = targetOf(collector);
    ASSERT_EQ(0, runInChild(
                     [&] {
                         // Held back: every record is queued before the first is sent.
                         if (initUser(target, storage.path(), true) != 0) return 2;
                         for (const FieldsAtLogTime& row : rows) {
                             row.changeBefore();
                             if (QuillMarkSendLog(QUILLMARK_INFO, row.body) != 1) return 3;
                         }
                         QuillMarkStartSendThread();
                         return collector.waitForRecords(rows.size() + 1, 10000) ? 0 : 4;
                     },
                     kChildTimeoutMs));
    for (const FieldsAtLogTime& row : rows) {
        SCOPED_TRACE(row.body);
        const std::vector<Json::Value> found = qm_test::withBody(collector, row.body);
        ASSERT_EQ(1u, found.size());
        EXPECT_EQ(row.userId, found[0].get("UserID", "").asString());
        EXPECT_EQ(row.k, found[0].get("k", "").asString());
        EXPECT_EQ(row.other, found[0].get("other", "").asString());
    }
}

TEST(Pipeline, HttpsDeliversToPinnedSelfSignedCollector) {
    CollectorOptions options;
    options.https = true;
    CollectorProcess collector(options);
    TempDir storage;
    const Target target = targetOf(collector);
    ASSERT_EQ(0, runInChild(
                     [&] {
                         qm_test::observeStorage(storage.file("stored.jsonl"));
                         if (initUser(target, storage.path(), false) != 0) return 2;
                         QuillMarkSendLog(QUILLMARK_WARN, "over tls");
                         QuillMarkSendLog(QUILLMARK_WARN, std::string(1100 * 1024, 'x').c_str());
                         return collector.waitForRecords(3, 10000) ? 0 : 3;
                     },
                     kChildTimeoutMs));
    const std::vector<std::string> bodies = bodiesOf(collector.records());
    ASSERT_EQ(3u, bodies.size());
    EXPECT_EQ((std::vector<std::string>{"CREATE SESSION", "over tls"}),
              std::vector<std::string>(bodies.begin(), bodies.begin() + 2));
    EXPECT_EQ(1100u * 1024u, bodies[2].size());
    // Each pass is a JSON post; a body past libcurl's threshold for "Expect: 100-continue"
    // (1 MiB) goes without that extra round trip.
    for (const Json::Value& request : collector.requests()) {
        EXPECT_EQ("POST", request["method"].asString());
        EXPECT_EQ("application/json", request["headers"]["Content-Type"].asString());
        EXPECT_FALSE(request["headers"].isMember("Expect"));
    }
    EXPECT_TRUE(qm_test::readStored(storage.file("stored.jsonl")).empty());
}

TEST(Pipeline, VerifiedTlsRefusesUnpinnedSelfSignedCollectorAndKeepsRecords) {
    CollectorOptions options;
    options.https = true;
    options.pinCertificate = false;
    CollectorProcess collector(options);
    TempDir storage;
    const Target target = targetOf(collector);
    const std::string storedFile = storage.file("stored.jsonl");
    ASSERT_EQ(0, runInChild(
                     [&] {
                         LibraryState::process().settings.verifyTls = true;
                         return sendFourInOneBatch(target, storage.path(), storedFile);
                     },
                     kChildTimeoutMs));
    EXPECT_TRUE(collector.records().empty());
    EXPECT_EQ((std::vector<std::string>{"CREATE SESSION", "keep-1", "FAIL-2", "keep-3"}),
              bodiesOf(qm_test::readStored(storedFile)));
}

struct AnswerCase {
    const char* name;
    bool https;
    const char* mode;
    std::vector<std::string> extraArgs;
    std::vector<std::string> expectStored;
};

class AnswerDecidesStorage : public ::testing::TestWithParam<AnswerCase> {};

const std::vector<std::string> kAll = {"CREATE SESSION", "keep-1", "FAIL-2", "keep-3"};
const std::vector<std::string> kNone = {};

TEST_P(AnswerDecidesStorage, OnlyRecordsNotTakenAreStored) {
    const AnswerCase& param = GetParam();
    CollectorOptions options;
    options.https = param.https;
    options.mode = param.mode;
    options.extraArgs = param.extraArgs;
    CollectorProcess collector(options);
    TempDir storage;
    const Target target = targetOf(collector);
    const std::string storedFile = storage.file("stored.jsonl");
    ASSERT_EQ(0, runInChild([&] { return sendFourInOneBatch(target, storage.path(), storedFile); },
                            kChildTimeoutMs));
    const std::vector<qm_test::StoredRecord> stored = qm_test::readStored(storedFile);
    EXPECT_EQ(param.expectStored, bodiesOf(stored));
    for (const auto& item : stored) {
        EXPECT_EQ("quillmark-user", item.channel);
        // A stored record is the record exactly as it travelled.
        EXPECT_EQ("v2", item.record["logVersion"].asString());
        EXPECT_FALSE(item.record.isMember("handlerName"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    CollectorAnswers, AnswerDecidesStorage,
    ::testing::Values(
        AnswerCase{"AllTaken", false, "ok", {}, kNone},
        AnswerCase{"FailedByBody", false, "ok", {"--fail-body", "FAIL"}, {"FAIL-2"}},
        AnswerCase{
            "FailedByIndex", false, "ok", {"--fail-index", "0,3"}, {"CREATE SESSION", "keep-3"}},
        AnswerCase{"HttpsFailedByBody", true, "ok", {"--fail-body", "FAIL"}, {"FAIL-2"}},
        AnswerCase{"Status503", false, "ok", {"--status", "503"}, kAll},
        AnswerCase{"Status408", false, "ok", {"--status", "408"}, kAll},
        AnswerCase{"Status429", false, "ok", {"--status", "429"}, kAll},
        AnswerCase{"HttpsStatus503", true, "ok", {"--status", "503"}, kAll},
        AnswerCase{"ClosedWithoutAnswer", false, "close", {}, kAll},
        AnswerCase{"ResetByPeer", false, "reset", {}, kAll},
        AnswerCase{
            "AnswerSplitAcrossSegments", false, "split", {"--fail-body", "FAIL"}, {"FAIL-2"}},
        // Not a collector answer, whatever the status: the whole batch is kept.
        AnswerCase{"HtmlPage", false, "html", {}, kAll},
        AnswerCase{"HtmlPage404", false, "html", {"--status", "404"}, kAll},
        AnswerCase{"Status404", false, "ok", {"--status", "404"}, kAll},
        AnswerCase{"Status413", false, "ok", {"--status", "413"}, kAll},
        AnswerCase{"BinaryGarbage", false, "garbage", {}, kAll},
        AnswerCase{"HeaderWithoutResults", false, "no-result", {}, kAll},
        AnswerCase{"MoreResultsThanRecords", false, "long-result", {}, kNone},
        AnswerCase{"ResultOfWrongType", false, "wrong-type", {}, kAll},
        // The answer ends inside the third entry: the results read before the cut apply and
        // the records whose results were cut away are kept.
        AnswerCase{"ResultsCutByCollector",
                   false,
                   "truncated",
                   {"--fail-index", "1"},
                   {"keep-1", "FAIL-2", "keep-3"}},
        AnswerCase{"AnswerOverReadLimit", false, "big", {}, kAll},
        AnswerCase{"HttpsAnswerOverReadLimit", true, "big", {}, kAll},
        AnswerCase{"PrettyPrintedAnswer", false, "multiline", {"--fail-body", "FAIL"}, {"FAIL-2"}}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

TEST(Pipeline, CollectorThatNeverAnswersTimesOutAndKeepsEverything) {
    CollectorOptions options;
    options.mode = "stall";
    CollectorProcess collector(options);
    TempDir storage;
    const Target target = targetOf(collector);
    const std::string storedFile = storage.file("stored.jsonl");
    // The exchange ends at its deadline, so the child needs longer than that.
    const int childTimeoutMs = static_cast<int>(kExchangeTimeout.count()) + kChildTimeoutMs;
    ASSERT_EQ(0, runInChild([&] { return sendFourInOneBatch(target, storage.path(), storedFile); },
                            childTimeoutMs));
    EXPECT_EQ(kAll, bodiesOf(qm_test::readStored(storedFile)));
}

TEST(Pipeline, UnreachableAddressesKeepRecords) {
    // Nothing listens on port 9 of loopback, named by the argument or by the address.
    for (const Target& target : {Target{"http://127.0.0.1", 9}, Target{"http://127.0.0.1:9/p/", 80},
                                 Target{"http://host.quillmark.invalid", 80}}) {
        // A directory per address: a shared one would send the previous address's stored
        // records again at set-up.
        TempDir storage;
        const std::string storedFile = storage.file("stored.jsonl");
        ASSERT_EQ(0, runInChild(
                         [&] {
                             qm_platform::setLogToStderr(false);
                             return sendFourInOneBatch(target, storage.path(), storedFile);
                         },
                         kChildTimeoutMs))
            << target.address;
        EXPECT_EQ(kAll, bodiesOf(qm_test::readStored(storedFile))) << target.address;
    }
}

TEST(Pipeline, EachProjectGetsItsOwnRequestInProjectOrder) {
    CollectorProcess collector;
    TempDir storage;
    const Target target = targetOf(collector);
    ASSERT_EQ(0, runInChild(
                     [&] {
                         if (initUser(target, storage.path(), true, "Zeta") != 0) return 2;
                         plume::quillmark::PlumeLog* log = GetPlumeLog();
                         if (log->initialize("Alpha", storage.path().c_str(), "1.0",
                                             target.address.c_str(), target.port, nullptr, nullptr,
                                             true, true, "Corvane") != 0)
                             return 3;
                         log->sendLog(QUILLMARK_INFO, "to zeta");
                         log->sendLog_Corvane(QUILLMARK_INFO, "to alpha");
                         log->startSendThread();
                         return collector.waitForRecords(3, 10000) ? 0 : 4;
                     },
                     kChildTimeoutMs));
    const std::vector<Json::Value> requests = collector.requests();
    ASSERT_EQ(2u, requests.size());
    Json::Value first;
    Json::Value second;
    ASSERT_TRUE(jsonText::parse(requests[0]["body"].asString(), first));
    ASSERT_TRUE(jsonText::parse(requests[1]["body"].asString(), second));
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ("Alpha", first[0]["projectName"].asString());
    EXPECT_EQ("to alpha", first[0]["body"].asString());
    ASSERT_EQ(2u, second.size());
    EXPECT_EQ("Zeta", second[0]["projectName"].asString());
    // The index counts every record the pass took, across projects.
    std::set<std::string> indexes = {first[0]["qmkBulkIndex"].asString(),
                                     second[0]["qmkBulkIndex"].asString(),
                                     second[1]["qmkBulkIndex"].asString()};
    EXPECT_EQ((std::set<std::string>{"0", "1", "2"}), indexes);
}

TEST(Pipeline, PassStopsTakingRecordsAfterTwoMebibytes) {
    CollectorProcess collector;
    TempDir storage;
    const Target target = targetOf(collector);
    const std::string big(700 * 1024, 'x');
    ASSERT_EQ(0, runInChild(
                     [&] {
                         if (initUser(target, storage.path(), true) != 0) return 2;
                         for (int i = 0; i < 5; ++i) {
                             const std::string message = std::to_string(i) + big;
                             if (QuillMarkSendLog(QUILLMARK_INFO, message.c_str()) != 1) return 3;
                         }
                         QuillMarkStartSendThread();
                         return collector.waitForRecords(6, 20000) ? 0 : 4;
                     },
                     kChildTimeoutMs));
    const std::vector<Json::Value> requests = collector.requests();
    ASSERT_EQ(2u, requests.size());
    // Session + three big records pass 2 MiB; the rest waits for the next pass.
    EXPECT_EQ(4, requests[0]["records"].asInt());
    EXPECT_EQ(2, requests[1]["records"].asInt());
    const std::vector<Json::Value> records = collector.records();
    ASSERT_EQ(6u, records.size());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(std::to_string(i), records[i + 1]["body"].asString().substr(0, 1));
    }
    EXPECT_EQ("0", records[4]["qmkBulkIndex"].asString());
}

// ---------------------------------------------------------------------------------------------
// The promise of a 1 from QuillMarkSendLog, against collectors that misbehave the way networks
// do: each record is accepted, stored, or counted by a log line of a cap.

using qm_test::CollectorBehaviour;

namespace qm_test {
// gtest prints a parameter through PrintTo found beside its type.
void PrintTo(const CollectorBehaviour& behaviour, std::ostream* out) { *out << behaviour.name; }
}  // namespace qm_test

namespace {

const int kThreads = 2;
const int kPerThread = 20;

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Sends kPerThread records from each of kThreads threads, writes the bodies the library
// returned 1 for, one a line, to `sentFile`.
void sendFromThreads(const std::string& tag, std::ofstream& sentFile) {
    std::mutex mutex;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string body =
                    "acct-" + tag + "-" + std::to_string(t) + "-" + std::to_string(i);
                if (QuillMarkSendLog(QUILLMARK_ERROR, body.c_str()) != 1) continue;
                std::lock_guard<std::mutex> lock(mutex);
                sentFile << body << "\n";
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    sentFile.flush();
}

class EveryRecordAccountedFor : public ::testing::TestWithParam<CollectorBehaviour> {};

}  // namespace

TEST_P(EveryRecordAccountedFor, AcceptedStoredOrDroppedWithALogLine) {
    const CollectorBehaviour& param = GetParam();
    CollectorOptions options;
    options.mode = param.mode;
    options.extraArgs = param.extraArgs;
    CollectorProcess collector(options);
    TempDir storage;
    Target target = targetOf(collector);
    if (param.unreachable) target.port = qm_test::unusedLoopbackPort();
    const std::string sentFile = storage.file("sent.txt");
    const std::string logFile = storage.file("log-lines.txt");

    ASSERT_EQ(0, runInChild(
                     [&] {
                         qm_platform::setLogToStderr(false);
                         qm_platform::startLogCapture();
                         if (initUser(target, storage.path(), false, "AcctApp") != 0) return 2;
                         std::ofstream sent(sentFile);
                         sendFromThreads("a", sent);
                         if (param.diesMidway) {
                             collector.waitForRecordCount(kThreads * kPerThread + 1, 10000);
                             collector.stop();
                         }
                         sendFromThreads("b", sent);
                         QuillMarkDestroy();
                         std::ofstream logs(logFile);
                         for (const std::string& line : qm_platform::capturedLogLines()) {
                             logs << line << "\n";
                         }
                         return 0;
                     },
                     kChildTimeoutMs));

    const std::vector<std::string> sent = linesOf(sentFile);
    EXPECT_FALSE(sent.empty());
    const std::vector<std::string> accepted =
        param.accepts ? bodiesOf(collector.records()) : std::vector<std::string>();
    const qm_test::Accounting accounting = qm_test::account(
        sent, accepted, qm_test::storedBodies(storage.path() + "/quillmark/AcctApp"),
        linesOf(logFile));
    qm_test::expectEveryRecordAccountedFor(accounting, !param.mayRepeat);
    EXPECT_EQ(0u, accounting.dropped);  // one failure each: no cap is reached
}

INSTANTIATE_TEST_SUITE_P(CollectorBehaviours, EveryRecordAccountedFor,
                         ::testing::ValuesIn(qm_test::collectorBehaviours()),
                         [](const ::testing::TestParamInfo<CollectorBehaviour>& info) {
                             return info.param.name;
                         });
