// Records the collector did not take are kept in the project's "log.txt" and sent again by the
// next start. A "start" is a child process; successive children share one storage directory,
// as successive runs of an application do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/quillmark_impl.h"
#include "core/libraryState.h"
#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/temp_dir.h"
#include "transport/batchDelivery.h"
#include "transport/localStore.h"
#include "transport/pendingCrashes.h"
#include "util/jsonText.h"

using qm_test::bodiesOf;
using qm_test::CollectorOptions;
using qm_test::CollectorProcess;
using qm_test::runInChild;
using qm_test::TempDir;
using qm_test::writeFileText;

namespace {

const int kChildTimeoutMs = 30000;
// Several mebibytes through the loopback collector, which is slow with sanitizers.
const int kSlowChildMs = 90000;
const char* const kProject = "StoreApp";

// A collector that answers 503: every batch goes to local storage.
CollectorOptions refusingEveryBatch() {
    CollectorOptions options;
    options.extraArgs = {"--status", "503"};
    return options;
}

std::string projectDir(const TempDir& storage, const std::string& project = kProject) {
    return storage.path() + "/quillmark/" + project;
}

std::string logFile(const TempDir& storage, const std::string& project = kProject) {
    return projectDir(storage, project) + "/log.txt";
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Every line of the file, parsed; a line that is not JSON becomes null.
std::vector<Json::Value> fileLines(const std::string& path) {
    std::vector<Json::Value> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        Json::Value value;
        if (!jsonText::parse(line, value)) value = Json::Value();
        lines.push_back(value);
    }
    return lines;
}

template <typename Records>
Json::Value withBody(const Records& records, const std::string& body) {
    for (const Json::Value& record : records) {
        if (record["body"].asString() == body) return record;
    }
    return Json::Value();
}

// The requests that arrived after the first `skip`, each parsed into its array of records.
std::vector<Json::Value> batchesSince(const CollectorProcess& collector, size_t skip) {
    std::vector<Json::Value> batches;
    const std::vector<Json::Value> requests = collector.requests();
    for (size_t i = skip; i < requests.size(); ++i) {
        Json::Value batch;
        jsonText::parse(requests[i]["body"].asString(), batch);
        batches.push_back(batch);
    }
    return batches;
}

int initMain(const CollectorProcess& collector, const TempDir& storage, bool asyncStart,
             const char* project = kProject) {
    return QuillMarkInitialize(project, storage.path().c_str(), "1.0.0",
                               collector.address().c_str(), collector.port(), nullptr, nullptr,
                               true, asyncStart, "quillmark-user");
}

// One start of the application: initialise, send these messages as one batch, end.
int runStart(const CollectorProcess& collector, const TempDir& storage,
             const std::vector<std::string>& messages) {
    const size_t sessionsBefore = qm_test::withBody(collector, "CREATE SESSION").size();
    if (initMain(collector, storage, true) != 0) return 2;
    for (const std::string& message : messages) {
        if (QuillMarkSendLog(QUILLMARK_ERROR, message.c_str()) != 1) return 3;
    }
    QuillMarkStartSendThread();
    // The stored records go before this start's own: once its batch arrived, the re-send is
    // over, and QuillMarkDestroy's cut-off only meets the answer to that one small batch.
    qm_test::waitUntil(
        [&] { return qm_test::withBody(collector, "CREATE SESSION").size() > sessionsBefore; },
        20000);
    QuillMarkDestroy();
    return 0;
}

std::string storedLine(const std::string& body, const Json::Value& errorRate) {
    Json::Value record;
    record["handlerName"] = "quillmark-user";
    record["projectName"] = kProject;
    record["logType"] = "quillmark-log";
    record["body"] = body;
    if (!errorRate.isNull()) record["errorRate"] = errorRate;
    return jsonText::writeCompact(record);
}

// A channel registered straight with a sender of its own, whose worker never runs: storage is
// then driven call by call.
std::unique_ptr<Handler> channelRecord(const std::string& name, const std::string& project,
                                       const TempDir& storage, const CollectorProcess* collector) {
    auto channel = std::make_unique<Handler>();
    channel->m_handlerName = name;
    channel->m_projectName = project;
    channel->m_sdCardPath = storage.path();
    channel->m_Addr = collector ? collector->address() : "http://127.0.0.1";
    channel->m_Port = collector ? collector->port() : 9;
    return channel;
}

std::string recordText(const std::string& body) {
    Json::Value record;
    record["body"] = body;
    record["logType"] = "quillmark-log";
    return jsonText::writeCompact(record);
}

}  // namespace

TEST(LocalStorage, RecordComesBackWithOneMoreFailureEachStartAndGoesAfterTheFourth) {
    CollectorOptions options;
    options.extraArgs = {"--fail-body", "FAIL"};
    CollectorProcess collector(options);
    TempDir storage;

    ASSERT_EQ(0, runInChild(
                     [&] {
                         return runStart(collector, storage, {"FAIL-a", "fine", "FAIL-b"});
                     },
                     kChildTimeoutMs));
    std::vector<Json::Value> stored = fileLines(logFile(storage));
    ASSERT_EQ((std::vector<std::string>{"FAIL-a", "FAIL-b"}), bodiesOf(stored));
    for (const Json::Value& line : stored) {
        EXPECT_EQ("1", line["errorRate"].asString());
        EXPECT_EQ("v2", line["logVersion"].asString());
    }

    for (int start = 2; start <= 4; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        const size_t before = collector.requests().size();
        ASSERT_EQ(0, runInChild([&] { return runStart(collector, storage, {}); }, kChildTimeoutMs));
        // The stored records travel first, together, before this start's own session record.
        const std::vector<Json::Value> batches = batchesSince(collector, before);
        ASSERT_EQ(2u, batches.size());
        ASSERT_EQ((std::vector<std::string>{"FAIL-a", "FAIL-b"}), bodiesOf(batches[0]));
        for (const Json::Value& record : batches[0]) {
            EXPECT_EQ(std::to_string(start - 1), record["errorRate"].asString());
            EXPECT_FALSE(record.isMember("handlerName"));
        }
        EXPECT_EQ((std::vector<std::string>{"CREATE SESSION"}), bodiesOf(batches[1]));
        stored = fileLines(logFile(storage));
        if (start < 4) {
            ASSERT_EQ(2u, stored.size());
            EXPECT_EQ(std::to_string(start), stored[0]["errorRate"].asString());
            EXPECT_EQ(std::to_string(start), stored[1]["errorRate"].asString());
        }
    }
    EXPECT_FALSE(exists(logFile(storage)));
}

TEST(LocalStorage, StoredRecordsReachTheNextCollectorWithTheirTextIntact) {
    CollectorProcess down(refusingEveryBatch());
    CollectorProcess up;
    TempDir storage;
    const std::string tricky = "quote \" backslash \\ bell \x07 tab \t line\nend \xc3\xbc";

    ASSERT_EQ(0, runInChild(
                     [&] {
                         return runStart(down, storage, {tricky, "plain"});
                     },
                     kChildTimeoutMs));
    ASSERT_EQ(3u, fileLines(logFile(storage)).size());  // session record and two logs

    ASSERT_EQ(0, runInChild([&] { return runStart(up, storage, {}); }, kChildTimeoutMs));
    const std::vector<Json::Value> batches = batchesSince(up, 0);
    ASSERT_EQ(2u, batches.size());
    EXPECT_EQ((std::vector<std::string>{"CREATE SESSION", tricky, "plain"}), bodiesOf(batches[0]));
    for (const Json::Value& record : batches[0]) {
        EXPECT_EQ("1", record["errorRate"].asString());
        EXPECT_EQ(kProject, record["projectName"].asString());
        for (const std::string& key : record.getMemberNames()) {
            EXPECT_TRUE(record[key].isString()) << key;
        }
    }
    EXPECT_FALSE(exists(logFile(storage)));
}

TEST(LocalStorage, ReadingBackKeepsOnlyLinesThatHoldAnObject) {
    CollectorProcess collector;
    TempDir storage;
    std::string content = storedLine("first", "1");
    content += "\n";                                                  // empty line
    content += "x\n";                                                 // one character
    content += std::string("\x00\xff\xfe garbage \x01{", 14) + "\n";  // binary
    content += std::string(10 * 1024 * 1024, 'x') + "\n";             // 10 MiB
    content += "[1,2]\n\"text\"\n42\n";                               // JSON, but not objects
    content += std::string(5000, '[') + "\n";                         // deeper than the reader goes
    Json::Value typed;
    typed["handlerName"] = "quillmark-user";
    typed["body"] = "second";
    typed["count"] = 7;
    typed["nested"]["a"] = "b";
    content += jsonText::writeCompact(typed);
    content += storedLine("cut by a crash", "1").substr(0, 30);  // last line, no line end
    writeFileText(logFile(storage), content);

    ASSERT_EQ(0, runInChild([&] { return runStart(collector, storage, {}); }, kChildTimeoutMs));
    const std::vector<Json::Value> batches = batchesSince(collector, 0);
    ASSERT_EQ(2u, batches.size());
    const Json::Value& resent = batches[0];
    ASSERT_EQ((std::vector<std::string>{"first", "second"}), bodiesOf(resent));
    EXPECT_FALSE(resent[1].isMember("handlerName"));
    EXPECT_EQ("7", resent[1]["count"].asString());
    EXPECT_EQ("{\"a\":\"b\"}", resent[1]["nested"].asString());
    EXPECT_FALSE(exists(logFile(storage)));
}

TEST(LocalStorage, FailureCountsThatAreNotPlainNumbers) {
    CollectorProcess collector(refusingEveryBatch());
    TempDir storage;
    std::string content;
    content += storedLine("rate-missing", Json::Value());
    content += storedLine("rate-text", "abc");
    content += storedLine("rate-negative", "-7");
    content += storedLine("rate-number", 2);
    content += storedLine("rate-leading-digits", "2x");
    content += storedLine("rate-three", "3");
    content += storedLine("rate-huge", "99999999999999999999999");
    writeFileText(logFile(storage), content);

    ASSERT_EQ(0, runInChild([&] { return runStart(collector, storage, {}); }, kChildTimeoutMs));
    const std::vector<Json::Value> lines = fileLines(logFile(storage));
    auto rateOf = [&](const std::string& body) {
        for (const Json::Value& line : lines) {
            if (line["body"].asString() == body) return line["errorRate"].asString();
        }
        return std::string("<dropped>");
    };
    EXPECT_EQ("1", rateOf("rate-missing"));
    EXPECT_EQ("1", rateOf("rate-text"));
    // A negative count would let the record come back for ever.
    EXPECT_EQ("1", rateOf("rate-negative"));
    EXPECT_EQ("3", rateOf("rate-number"));
    EXPECT_EQ("3", rateOf("rate-leading-digits"));
    EXPECT_EQ("<dropped>", rateOf("rate-three"));
    EXPECT_EQ("<dropped>", rateOf("rate-huge"));
    EXPECT_EQ("1", rateOf("CREATE SESSION"));
    EXPECT_EQ(6u, lines.size());
}

// The store's byte bound: whether records come in by appends or in an old file larger than the
// bound (earlier versions had none), the oldest go first, each drop is counted in a log line,
// and what is read back comes in batches of at most the pass size.
struct ByteCapCase {
    const char* name;
    bool oldFile;  // written straight into "log.txt", else appended through the sender
};

void PrintTo(const ByteCapCase& byteCapCase, std::ostream* out) { *out << byteCapCase.name; }

class StoreByteCap : public ::testing::TestWithParam<ByteCapCase> {};

TEST_P(StoreByteCap, KeepsTheNewestAndCountsEveryDrop) {
    TempDir storage;
    const std::string logLines = storage.file("log-lines.txt");
    const std::string readBackFile = storage.file("read-back.txt");
    const size_t total = (LocalStore::kMaxStoreBytes * 5 / 4) / 1024;  // 1 KiB records
    std::vector<std::string> sent;
    for (size_t i = 0; i < total; ++i) sent.push_back(std::to_string(i) + std::string(1000, 'r'));
    if (GetParam().oldFile) {
        std::string content;
        for (const std::string& body : sent) content += storedLine(body, "1");
        writeFileText(logFile(storage), content);
    }
    ASSERT_EQ(0, runInChild(
                     [&] {
                         qm_platform::setLogToStderr(false);
                         qm_platform::startLogCapture();
                         LibraryState state;
                         auto channel = channelRecord("main", kProject, storage, nullptr);
                         if (!state.registry.add(channel)) return 2;
                         std::vector<std::string> batch;
                         for (size_t i = 0; !GetParam().oldFile && i < sent.size(); ++i) {
                             batch.push_back(recordText(sent[i]));
                             if (batch.size() < 500 && i + 1 < sent.size()) continue;
                             state.store.keep(batch, "main");
                             batch.clear();
                         }
                         const bool appended = !GetParam().oldFile;
                         if (appended && std::filesystem::file_size(logFile(storage)) >
                                             LocalStore::kMaxStoreBytes) {
                             return 3;
                         }
                         StoreHealth health;
                         LocalStore store(projectDir(storage), health);
                         if (!store.claim()) return 4;
                         std::ofstream readBack(readBackFile);
                         while (store.nextBatch(batch)) {
                             size_t bytes = 0;
                             for (const std::string& line : batch) bytes += line.size();
                             EXPECT_LE(bytes, LocalStore::kMaxBatchBytes);
                             for (const std::string& line : batch) {
                                 Json::Value record;
                                 jsonText::parse(line, record);
                                 readBack << record["body"].asString() << "\n";
                             }
                             store.confirmBatch();
                         }
                         std::ofstream logs(logLines);
                         for (const std::string& line : qm_platform::capturedLogLines()) {
                             logs << line << "\n";
                         }
                         return 0;
                     },
                     kChildTimeoutMs));
    EXPECT_FALSE(exists(logFile(storage)));
    const std::vector<std::string> readBack = linesOf(readBackFile);
    const qm_test::Accounting accounting = qm_test::account(sent, {}, readBack, linesOf(logLines));
    qm_test::expectEveryRecordAccountedFor(accounting, true);
    EXPECT_EQ(accounting.lost.size(), accounting.dropped);
    EXPECT_GT(accounting.dropped, 0u);
    // The oldest went: what is left is the end of what came in, in order.
    ASSERT_LE(readBack.size(), sent.size());
    EXPECT_TRUE(std::equal(readBack.begin(), readBack.end(), sent.end() - readBack.size()));
}

INSTANTIATE_TEST_SUITE_P(Sources, StoreByteCap,
                         ::testing::Values(ByteCapCase{"Appended", false},
                                           ByteCapCase{"OldFile", true}),
                         [](const ::testing::TestParamInfo<ByteCapCase>& info) {
                             return info.param.name;
                         });

TEST(LocalStorage, LineCutByACrashLosesOnlyItself) {
    CollectorProcess collector;
    TempDir storage;
    {
        LibraryState state;
        auto channel = channelRecord("main", kProject, storage, &collector);
        ASSERT_TRUE(state.registry.add(channel));
        writeFileText(logFile(storage),
                      storedLine("before", "1") + storedLine("cut", "1").substr(0, 25));
        state.store.keep({recordText("after")}, "main");
        Handler main;
        ASSERT_TRUE(state.registry.snapshot("main", main));
        const std::unique_ptr<CollectorTransport> transport = state.transports();
        state.store.resend(main, [&](const Batch& batch) {
            return deliverBatch(*transport, main.m_Addr, main.m_Port, batch);
        });
    }
    const std::vector<Json::Value> batches = batchesSince(collector, 0);
    ASSERT_EQ(1u, batches.size());
    EXPECT_EQ((std::vector<std::string>{"before", "after"}), bodiesOf(batches[0]));
    EXPECT_FALSE(exists(logFile(storage)));
}

TEST(LocalStorage, ChannelsOfOneProjectShareTheFileAndSendItOncePerStart) {
    CollectorOptions options;
    options.extraArgs = {"--fail-body", "FAIL"};
    CollectorProcess collector(options);
    TempDir storage;
    auto start = [&](bool sendLogs) {
        plume::quillmark::PlumeLog* log = GetPlumeLog();
        if (initMain(collector, storage, true) != 0) return 2;
        if (log->initialize(kProject, storage.path().c_str(), "1.0.0", collector.address().c_str(),
                            collector.port(), nullptr, nullptr, true, true, "Corvane") != 0)
            return 3;
        if (sendLogs) {
            log->sendLog(QUILLMARK_ERROR, "FAIL-user");
            log->sendLog_Corvane(QUILLMARK_ERROR, "FAIL-corvane");
        }
        QuillMarkStartSendThread();
        QuillMarkDestroy();
        return 0;
    };
    ASSERT_EQ(0, runInChild([&] { return start(true); }, kChildTimeoutMs));
    std::vector<Json::Value> stored = fileLines(logFile(storage));
    ASSERT_EQ(2u, stored.size());
    EXPECT_EQ("1", withBody(stored, "FAIL-user")["errorRate"].asString());
    EXPECT_EQ("1", withBody(stored, "FAIL-corvane")["errorRate"].asString());

    const size_t before = collector.requests().size();
    ASSERT_EQ(0, runInChild([&] { return start(false); }, kChildTimeoutMs));
    size_t resends = 0;
    for (const Json::Value& batch : batchesSince(collector, before)) {
        if (!withBody(batch, "FAIL-user").isNull()) ++resends;
    }
    // The second channel's set-up finds the records of this start's failure and leaves them
    // for the next start instead of spending another attempt.
    EXPECT_EQ(1u, resends);
    stored = fileLines(logFile(storage));
    ASSERT_EQ(2u, stored.size());
    EXPECT_EQ("2", withBody(stored, "FAIL-user")["errorRate"].asString());
    EXPECT_EQ("2", withBody(stored, "FAIL-corvane")["errorRate"].asString());
}

TEST(LocalStorage, StoragePathsThatCannotHoldRecords) {
    CollectorOptions options;
    options.extraArgs = {"--fail-body", "FAIL"};
    CollectorProcess collector(options);
    TempDir storage;
    const std::string plainFile = storage.file("plain-file");
    writeFileText(plainFile, "not a directory");
    // Neither exists nor can be made, is a file, or is not writable (not even by root).
    for (const std::string& path :
         {storage.file("missing/deeper"), plainFile, std::string("/proc/self")}) {
        ASSERT_EQ(0, runInChild(
                         [&] {
                             const int result = QuillMarkInitialize(
                                 kProject, path.c_str(), "1.0.0", collector.address().c_str(),
                                 collector.port(), nullptr, nullptr, true, false, "quillmark-user");
                             // The channel is refused: it has nowhere to keep its state.
                             if (result != 0) return 2;
                             if (QuillMarkSendLog(QUILLMARK_ERROR, "FAIL") != 0) return 3;
                             QuillMarkDestroy();
                             return 0;
                         },
                         kChildTimeoutMs))
            << path;
    }
}

// A store that cannot be written says so once per condition, not once per record, and counts
// what it could not keep; records the collector takes still arrive.
TEST(LocalStorage, StoreThatCannotBeWrittenLogsOncePerConditionAndCountsTheLoss) {
    struct Case {
        const char* name;
        std::function<void(const std::string& logTxt)> spoil;
        const char* condition;
    };
    const std::vector<Case> cases = {
        {"log.txt is a directory",
         [](const std::string& path) { writeFileText(path + "/occupied", "x"); }, "Is a directory"},
        {"disk full",
         [](const std::string& path) {
             std::filesystem::create_directories(std::filesystem::path(path).parent_path());
             std::filesystem::create_symlink("/dev/full", path);
         },
         "No space left on device"},
    };
    CollectorOptions options;
    options.extraArgs = {"--fail-body", "FAIL"};
    CollectorProcess collector(options);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir storage;
        c.spoil(logFile(storage));
        const std::string logLines = storage.file("log-lines.txt");
        std::vector<std::string> sent;
        ASSERT_EQ(
            0,
            runInChild(
                [&] {
                    qm_platform::setLogToStderr(false);
                    qm_platform::startLogCapture();
                    if (initMain(collector, storage, false) != 0) return 2;
                    // One pass each: every failure is a store of its own.
                    for (int i = 0; i < 5; ++i) {
                        const std::string body = "FAIL-" + std::to_string(i);
                        if (QuillMarkSendLog(QUILLMARK_ERROR, body.c_str()) != 1) return 3;
                        qm_test::waitUntil(
                            [] { return currentPlumeLog()->core()->sender()->queuedCount() == 0; },
                            2000);
                        std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    }
                    if (QuillMarkSendLog(QUILLMARK_ERROR, c.name) != 1) return 4;
                    QuillMarkDestroy();
                    std::ofstream logs(logLines);
                    for (const std::string& line : qm_platform::capturedLogLines()) {
                        logs << line << "\n";
                    }
                    return 0;
                },
                kChildTimeoutMs));
        const std::vector<std::string> lines = linesOf(logLines);
        size_t conditionLines = 0;
        for (const std::string& line : lines) {
            if (line.find("[store] records not kept") == std::string::npos) continue;
            ++conditionLines;
            EXPECT_NE(std::string::npos, line.find(c.condition)) << line;
        }
        EXPECT_EQ(1u, conditionLines);
        std::vector<std::string> failing;
        for (int i = 0; i < 5; ++i) failing.push_back("FAIL-" + std::to_string(i));
        const qm_test::Accounting accounting =
            qm_test::account(failing, {}, qm_test::storedBodies(projectDir(storage)), lines);
        qm_test::expectEveryRecordAccountedFor(accounting, true);
        EXPECT_EQ(failing.size(), accounting.dropped);
        EXPECT_EQ(1u, qm_test::withBody(collector, c.name).size());
    }
}

// A kill while stored records are being sent again loses none of them: the next start sends
// them all, in batches of at most the pass size, and the store is empty afterwards.
TEST(LocalStorage, KillDuringTheResendThenANextStartDeliversEveryRecord) {
    TempDir storage;
    std::vector<std::string> bodies;
    std::string content;
    // Two and a half pass sizes of records, in the format earlier versions wrote.
    for (size_t i = 0; content.size() < 5 * LocalStore::kMaxBatchBytes / 2; ++i) {
        bodies.push_back("stored-" + std::to_string(i) + std::string(20000, 's'));
        content += storedLine(bodies.back(), "1");
    }
    writeFileText(logFile(storage), content);

    CollectorOptions stalling;
    stalling.mode = "stall";
    CollectorProcess stalled(stalling);
    const int killed = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            if (initMain(stalled, storage, false) != 0) return 2;
            if (!stalled.waitForRecordCount(1, 30000)) return 3;
            raise(SIGKILL);
            return 4;
        },
        kSlowChildMs);
    ASSERT_EQ(128 + SIGKILL, killed);
    EXPECT_TRUE(exists(projectDir(storage) + "/log.resend"));

    CollectorProcess healthy;
    ASSERT_EQ(0, runInChild(
                     [&] {
                         qm_platform::setLogToStderr(false);
                         if (initMain(healthy, storage, false) != 0) return 2;
                         // The stored records, then the killed run's session record (it was
                         // still queued), then this run's.
                         healthy.waitForRecordCount(bodies.size() + 2, 60000);
                         QuillMarkDestroy();
                         return 0;
                     },
                     kSlowChildMs));
    for (const Json::Value& request : healthy.requests()) {
        EXPECT_LE(request["body"].asString().size(), LocalStore::kMaxBatchBytes + 64 * 1024);
    }
    EXPECT_EQ(5u, healthy.requests().size());  // three batches, then the two session records
    EXPECT_EQ(2u, qm_test::withBody(healthy, "CREATE SESSION").size());
    const qm_test::Accounting accounting = qm_test::account(
        bodies, bodiesOf(healthy.records()), qm_test::storedBodies(projectDir(storage)), {});
    qm_test::expectEveryRecordAccountedFor(accounting, true);
    EXPECT_EQ(bodies.size(), accounting.accepted);
    EXPECT_FALSE(exists(projectDir(storage) + "/log.resend"));
    EXPECT_FALSE(exists(logFile(storage)));
}

// The sending thread waits for a registry another thread holds for long instead of dropping the
// record it stores (giving up after 500 ms is for a crash report only).
TEST(LocalStorage, SendingThreadStoresEvenWhenTheRegistryStaysBusy) {
    CollectorOptions options;
    options.extraArgs = {"--status", "503", "--delay-ms", "300"};
    CollectorProcess collector(options);
    TempDir storage;
    ASSERT_EQ(0,
              runInChild(
                  [&] {
                      qm_platform::setLogToStderr(false);
                      if (initMain(collector, storage, true) != 0) return 2;
                      if (QuillMarkSendLog(QUILLMARK_ERROR, "busy registry") != 1) return 3;
                      QuillMarkStartSendThread();
                      // The batch arrived; its refusal comes while the registry is held.
                      if (!collector.waitForRecordCount(2, 10000)) return 4;
                      bool held = false;
                      LibraryState::process().registry.forEach([&](const Handler&, RecordJournal*) {
                          if (held) return;
                          held = true;
                          std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                      });
                      QuillMarkDestroy();
                      return 0;
                  },
                  kChildTimeoutMs));
    const qm_test::Accounting accounting =
        qm_test::account({"busy registry"}, {}, qm_test::storedBodies(projectDir(storage)), {});
    EXPECT_EQ(1u, accounting.stored);
}

// ---------------------------------------------------------------------------------------------
// Send-only: a null or empty storage path sends and keeps nothing on the device

namespace {

// One start in send-only mode, run with `cwd` as working directory so that a relative path
// the library made would show there.
int sendOnlyStart(const CollectorProcess& collector, const char* storagePath,
                  const std::string& cwd, const std::string& tag, size_t recordsAfter) {
    if (chdir(cwd.c_str()) != 0) return 1;
    if (QuillMarkInitialize(kProject, storagePath, "1.0.0", collector.address().c_str(),
                            collector.port(), nullptr, nullptr, true, false, "quillmark-user") != 0)
        return 2;
    if (QuillMarkOpenCrashCatcher() != 0) return 3;  // Breakpad would have nowhere to write
    // Once the session arrived the channel is set up, so later records carry its device ID.
    if (!collector.waitForRecords(recordsAfter - 2, 8000)) return 7;
    if (QuillMarkSendLog(QUILLMARK_ERROR, ("FAIL " + tag).c_str()) != 1) return 4;
    if (QuillMarkSendLog(QUILLMARK_ERROR, ("ok " + tag).c_str()) != 1) return 5;
    return collector.waitForRecords(recordsAfter, 8000) ? 0 : 6;
}

}  // namespace

TEST(SendOnly, RecordsArriveAndNothingIsStoredOrSentAgain) {
    ASSERT_FALSE(exists("/quillmark"));
    struct Case {
        const char* name;
        const char* path;
    };
    for (const Case& c : {Case{"null", nullptr}, Case{"empty", ""}}) {
        SCOPED_TRACE(c.name);
        CollectorOptions options;
        options.extraArgs = {"--fail-body", "FAIL"};
        CollectorProcess collector(options);
        TempDir cwd;
        size_t recordsAfter = 0;
        for (const std::string tag : {"first", "second"}) {
            recordsAfter += 3;
            EXPECT_EQ(
                0,
                runInChild(
                    [&] { return sendOnlyStart(collector, c.path, cwd.path(), tag, recordsAfter); },
                    kChildTimeoutMs));
        }
        // Each start: its session, its refused record and its delivered one; nothing came back.
        EXPECT_EQ((std::vector<std::string>{"CREATE SESSION", "FAIL first", "ok first",
                                            "CREATE SESSION", "FAIL second", "ok second"}),
                  bodiesOf(collector.records()));
        const Json::Value delivered = withBody(collector.records(), "ok first");
        EXPECT_FALSE(delivered["DeviceID"].asString().empty());
        EXPECT_FALSE(exists("/quillmark"));
        EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
    }
}

// ---- the journal: what sendLog accepted survives the process until it is dealt with ----

namespace {

// The record as the next start reads it back.
MapValues journalRecord(size_t index, size_t bodyBytes = 40) {
    return {{"body", "journal " + std::to_string(index) + std::string(bodyBytes, 'j')},
            {"build", "7"},
            {"handlerName", "quillmark-user"}};
}

// The same record queued as sendLog queues it: the channel's shared fields, whose body the
// record's own replaces.
QueuedRecord queuedJournalRecord(size_t index, size_t bodyBytes) {
    static const auto channel = std::make_shared<const MapValues>(
        MapValues{{"body", "the channel's"}, {"build", "7"}, {"handlerName", "quillmark-user"}});
    return QueuedRecord(channel, {{"body", journalRecord(index, bodyBytes).at("body")}});
}

// Every field of a queued record in one map, its own replacing the channel's.
MapValues mergedFields(const QueuedRecord& record) {
    MapValues fields;
    forEachField({record.shared.get(), &record.own},
                 [&fields](const std::string& key, const std::string& value) {
                     fields.emplace_hint(fields.end(), key, value);
                 });
    return fields;
}

// Appends count records, the queue taking them or not; returns the sequence numbers given.
std::vector<uint32_t> appendRecords(RecordJournal& journal, size_t first, size_t count,
                                    bool queueTakes, size_t bodyBytes = 40) {
    std::vector<uint32_t> sequences;
    for (size_t i = first; i < first + count; ++i) {
        QueuedRecord queued = queuedJournalRecord(i, bodyBytes);
        journal.appendAndPush(queued, [&] {
            if (queued.sequence != 0) sequences.push_back(queued.sequence);
            EXPECT_EQ(mergedFields(queued), journalRecord(i, bodyBytes));  // nothing else added
            return queueTakes;
        });
    }
    return sequences;
}

std::vector<std::string> leftoverBodies(const std::string& directory) {
    std::unique_ptr<RecordJournal> journal = RecordJournal::open(directory);
    EXPECT_NE(journal, nullptr);
    if (!journal) return {};
    uint32_t last = 0;
    std::vector<std::string> bodies;
    for (const MapValues& record : journal->takeLeftovers(last)) {
        bodies.push_back(record.at("body"));
        // The channel's fields are kept too, and its body is not.
        EXPECT_EQ(
            (MapValues{{"body", bodies.back()}, {"build", "7"}, {"handlerName", "quillmark-user"}}),
            record);
    }
    return bodies;
}

std::vector<std::string> journalBodies(size_t first, size_t count, size_t bodyBytes = 40) {
    std::vector<std::string> bodies;
    for (size_t i = first; i < first + count; ++i)
        bodies.push_back(journalRecord(i, bodyBytes).at("body"));
    return bodies;
}

}  // namespace

// What a next open finds: the records appended and not marked done, in order; nothing the
// queue refused; and the done mark holds across any number of laps of the ring.
TEST(RecordJournal, LeftoversAreTheUndoneRecordsInOrder) {
    struct Row {
        const char* name;
        size_t bodyBytes;
        size_t laps;  // rounds of append 50 / mark them done before the last append
    };
    const std::vector<Row> rows = {
        {"small records, no lap", 40, 0},
        {"records that make the ring wrap", 30000, 300},
        {"odd sizes, many laps", 1237, 2000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        size_t next = 0;
        {
            std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
            ASSERT_NE(journal, nullptr);
            for (size_t lap = 0; lap < row.laps; ++lap) {
                const std::vector<uint32_t> done =
                    appendRecords(*journal, next, 50, true, row.bodyBytes);
                next += 50;
                ASSERT_EQ(done.size(), 50u);
                journal->markDone(done.back());
            }
            const std::vector<uint32_t> kept =
                appendRecords(*journal, next, 20, true, row.bodyBytes);
            ASSERT_EQ(kept.size(), 20u);
            journal->markDone(kept[9]);
            appendRecords(*journal, next + 20, 3, false, row.bodyBytes);  // refused by the queue
            EXPECT_EQ(journal->notJournaled(), 0u);
        }
        EXPECT_EQ(leftoverBodies(dir.path()), journalBodies(next + 10, 10, row.bodyBytes));
        // Taking them does not mark them done: a crash before they are stored keeps them.
        EXPECT_EQ(leftoverBodies(dir.path()), journalBodies(next + 10, 10, row.bodyBytes));
    }
}

// A full ring, a second process and a damaged file: records still flow, only unjournaled.
// Each entry reads back as its record merged, whatever the own fields' keys are next to the
// channel's, and however records of different channels, or of a channel whose fields changed,
// follow one another (the writer keeps the channels' fields encoded between entries).
TEST(RecordJournal, EachEntryReadsBackAsItsRecordMerged) {
    using Fields = std::shared_ptr<const MapValues>;
    const Fields user = std::make_shared<const MapValues>(
        MapValues{{"appKey", "k"}, {"body", "channel"}, {"handlerName", "u"}, {"userID", "1"}});
    const Fields userLater = std::make_shared<const MapValues>(
        MapValues{{"appKey", "k"}, {"handlerName", "u"}, {"userID", "2"}, {"zone", ""}});
    const Fields other =
        std::make_shared<const MapValues>(MapValues{{"a", "1"}, {"ab", "2"}, {"\xC3\xA9", "3"}});
    const Fields third = std::make_shared<const MapValues>(MapValues{{"m", "third"}});
    struct Row {
        const char* name;
        Fields shared;
        MapValues own;
    };
    const std::vector<Row> rows = {
        {"own keys between the channel's", user, {{"b", "x"}, {"logLevel", "INFO"}}},
        {"own key replaces the channel's", user, {{"body", "mine"}, {"userID", "9"}}},
        {"own keys before and after all", user, {{"0", "first"}, {"~", "last"}}},
        {"no own fields", user, {}},
        {"no channel fields", nullptr, {{"body", "alone"}, {"x", "y"}}},
        {"another channel", other, {{"a", "own"}, {"aa", "between"}, {"b", "after ab"}}},
        {"keys above ASCII", other, {{"\xC3\xA8", "before"}, {"\xC3\xAA", "after"}}},
        {"a third channel pushes out the first", third, {{"body", "t"}}},
        {"the first channel again", user, {{"body", "again"}}},
        {"the first channel's fields changed", userLater, {{"body", "later"}, {"zone", "z"}}},
        {"an empty value", userLater, {{"body", ""}}},
    };
    TempDir dir;
    {
        std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
        ASSERT_NE(journal, nullptr);
        for (const Row& row : rows) {
            QueuedRecord record(row.shared, row.own);
            ASSERT_TRUE(journal->appendAndPush(record, [] { return true; })) << row.name;
            EXPECT_NE(record.sequence, 0u) << row.name;
        }
    }
    std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
    ASSERT_NE(journal, nullptr);
    uint32_t last = 0;
    const std::vector<MapValues> found = journal->takeLeftovers(last);
    ASSERT_EQ(found.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(found[i], mergedFields(QueuedRecord(rows[i].shared, rows[i].own)))
            << rows[i].name;
    }
}

TEST(RecordJournal, FullBusyOrDamagedJournals) {
    TempDir dir;
    {
        std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
        ASSERT_NE(journal, nullptr);
        EXPECT_EQ(RecordJournal::open(dir.path()), nullptr);  // held by this "process"
        const size_t fits = RecordJournal::kRingBytes / 4096;
        EXPECT_LT(appendRecords(*journal, 0, fits + 50, true, 4000).size(), fits + 50);
        EXPECT_GT(journal->notJournaled(), 0u);
        // A record larger than a quarter of the ring is never journaled.
        EXPECT_TRUE(appendRecords(*journal, 0, 1, true, RecordJournal::kRingBytes / 4).empty());
    }
    const std::string path = dir.path() + "/log.journal";
    struct Damage {
        const char* name;
        size_t at;
        std::string bytes;
        size_t leftovers;
    };
    const std::vector<Damage> damages = {
        {"nothing", 0, "", 0},
        {"magic", 0, "XXXX", 0},
        {"done offset beyond the ring", 8, std::string("\xff\xff\xff\x7f", 4), 0},
        {"first entry's length beyond the ring", 4096, std::string("\xf0\xff\xff\x7f", 4), 0},
        {"second entry's field count", 4096 + 8 + 4, "\x7f", 0},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        {
            std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
            ASSERT_NE(journal, nullptr);
            uint32_t last = 0;
            journal->takeLeftovers(last);
            journal->markDone(last);
            appendRecords(*journal, 0, 2, true);
        }
        std::string content = qm_test::readFileText(path);
        content.replace(damage.at, damage.bytes.size(), damage.bytes);
        if (!damage.bytes.empty()) writeFileText(path, content);
        const std::vector<std::string> found = leftoverBodies(dir.path());
        if (damage.bytes.empty()) {
            EXPECT_EQ(found, journalBodies(0, 2));
        } else {
            EXPECT_LT(found.size(), 2u);
        }
    }
}

// Records sendLog accepted and the collector never answered for survive the end of the
// process: the next start delivers each once, in the order they were logged.
TEST(RecordJournal, RecordsLoggedBeforeTheProcessDiesArriveAtTheNextStart) {
    struct Row {
        const char* name;
        const char* collectorMode;  // "" for a collector that is down
        bool heldBack;              // sending never started: everything is still queued
        int signal;
    };
    const std::vector<Row> rows = {
        {"in flight to a stalled collector, then killed", "stall", false, SIGKILL},
        {"collector trickles its answer, then abort", "trickle", false, SIGABRT},
        {"collector down, then a segfault", "", false, SIGSEGV},
        {"held back in the queue, then killed", "ok", true, SIGKILL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir storage;
        const std::vector<std::string> bodies = journalBodies(0, 300);
        CollectorOptions options;
        options.mode = *row.collectorMode ? row.collectorMode : "ok";
        CollectorProcess first(options);
        const int status = runInChild(
            [&] {
                qm_platform::setLogToStderr(false);
                if (*row.collectorMode == '\0') {
                    if (QuillMarkInitialize(kProject, storage.path().c_str(), "1.0.0",
                                            first.address().c_str(), qm_test::unusedLoopbackPort(),
                                            nullptr, nullptr, true, row.heldBack,
                                            "quillmark-user") != 0) {
                        return 2;
                    }
                } else if (initMain(first, storage, row.heldBack) != 0) {
                    return 2;
                }
                for (const std::string& body : bodies) {
                    while (QuillMarkSendLog(QUILLMARK_ERROR, body.c_str()) != 1) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                // Sanitizer run-times catch some of these signals; the process must die of it.
                signal(row.signal, SIG_DFL);
                raise(row.signal);
                return 4;
            },
            kChildTimeoutMs);
        ASSERT_EQ(128 + row.signal, status);

        CollectorProcess healthy;
        ASSERT_EQ(0, runInChild(
                         [&] {
                             qm_platform::setLogToStderr(false);
                             if (initMain(healthy, storage, false) != 0) return 2;
                             healthy.waitForRecordCount(bodies.size() + 2, 30000);
                             QuillMarkDestroy();
                             return 0;
                         },
                         kChildTimeoutMs));
        std::vector<std::string> arrived;
        for (const std::string& body : bodiesOf(healthy.records())) {
            if (body.rfind("journal ", 0) == 0) arrived.push_back(body);
        }
        EXPECT_EQ(arrived, bodies);
        // The crashed run's session record comes back too, before its records.
        EXPECT_EQ(2u, qm_test::withBody(healthy, "CREATE SESSION").size());
        EXPECT_FALSE(exists(logFile(storage)));
    }
}

// Crashes kept in the dump directory for a next start: which of them collect() offers, in
// which order, and which it deletes on the way.
namespace {

struct KeptFile {
    const char* id;
    long long bytes;
    int ageSeconds;
    // ".rec" written beside the dump; a dump of -1 bytes leaves only the record.
    bool withRecord;
};

struct PendingCrashRow {
    const char* name;
    std::vector<KeptFile> files;
    // Offered, oldest first.
    std::vector<std::string> offered;
    // Ids whose files collect() deleted.
    std::vector<std::string> deleted;
};

const long long kMiB = 1024 * 1024;
const int64_t kSecondNs = 1000000000;

// A wall-clock time in nanoseconds as utimensat takes it (time_t is 32 bits on i386).
timespec wallTime(int64_t ns) {
    return {static_cast<time_t>(ns / kSecondNs), static_cast<long>(ns % kSecondNs)};
}

void makeKeptFile(const std::string& directory, const KeptFile& file, int64_t nowNs) {
    const std::string base = directory + "/" + file.id;
    const int64_t modified = nowNs - file.ageSeconds * kSecondNs;
    const timespec times[2] = {wallTime(modified), wallTime(modified)};
    if (file.bytes >= 0) {
        writeFileText(base + ".dmp", "");
        ASSERT_EQ(0, truncate((base + ".dmp").c_str(), file.bytes));
        ASSERT_EQ(0, utimensat(AT_FDCWD, (base + ".dmp").c_str(), times, 0));
    }
    if (file.withRecord) {
        writeFileText(base + ".rec", "{\"body\":\"x\"}\n1\n");
        ASSERT_EQ(0, utimensat(AT_FDCWD, (base + ".rec").c_str(), times, 0));
    }
}

void expectCollected(const PendingCrashRow& row) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const int64_t now = pendingCrashes::wallClockNowNs();
    for (const KeptFile& file : row.files) makeKeptFile(dir.path(), file, now);
    // The process started a second ago: older dumps are other processes'.
    const std::vector<pendingCrashes::Crash> crashes =
        pendingCrashes::collect(dir.path(), now - kSecondNs, now);
    std::vector<std::string> offered;
    for (const pendingCrashes::Crash& crash : crashes) {
        const std::string name = std::filesystem::path(crash.dumpPath).stem();
        offered.push_back(name);
        EXPECT_EQ(exists(dir.file(name + ".rec")) ? dir.file(name + ".rec") : std::string(),
                  crash.recordPath);
    }
    EXPECT_EQ(row.offered, offered);
    for (const KeptFile& file : row.files) {
        const bool gone =
            std::find(row.deleted.begin(), row.deleted.end(), file.id) != row.deleted.end();
        const std::string id = file.id;
        EXPECT_EQ(!gone && file.bytes >= 0, exists(dir.file(id + ".dmp"))) << id;
        EXPECT_EQ(!gone && file.withRecord, exists(dir.file(id + ".rec"))) << id;
    }
}

}  // namespace

TEST(PendingCrashes, CollectKeepsTheNewestWithinBoundsAndOffersThemOldestFirst) {
    const long long big = pendingCrashes::kMaxDumpBytes;
    const PendingCrashRow rows[] = {
        {"oldest first",
         {{"b", 100, 50, true}, {"a", 100, 90, true}, {"c", 100, 20, true}},
         {"a", "b", "c"},
         {}},
        {"count bound drops the oldest",
         {{"d1", 10, 70, true},
          {"d2", 10, 60, true},
          {"d3", 10, 50, true},
          {"d4", 10, 40, true},
          {"d5", 10, 30, true},
          {"d6", 10, 20, true},
          {"d7", 10, 15, true}},
         {"d3", "d4", "d5", "d6", "d7"},
         {"d1", "d2"}},
        {"byte bound drops the oldest",
         {{"m1", big, 80, true},
          {"m2", big, 60, true},
          {"m3", big, 40, true},
          {"m4", big, 20, true}},
         {"m2", "m3", "m4"},
         {"m1"}},
        {"empty and oversize dumps are dropped",
         {{"empty", 0, 30, true}, {"huge", big + 1, 30, true}, {"fine", 5, 30, true}},
         {"fine"},
         {"empty", "huge"}},
        {"this process's own dump waits", {{"mine", 100, 0, true}}, {}, {}},
        {"a young dump without record may still be written", {{"young", 100, 3, false}}, {}, {}},
        {"an old dump without record is offered alone",
         {{"orphan", 100, 60, false}},
         {"orphan"},
         {}},
        {"records without dump: old ones go, young ones wait",
         {{"strayOld", -1, 60, true}, {"strayYoung", -1, 2, true}},
         {},
         {"strayOld"}},
    };
    for (const PendingCrashRow& row : rows) expectCollected(row);
}

// The crashed process keeps its record locked while it reports; a next start that overlaps it
// leaves that crash alone until the lock is gone.
TEST(PendingCrashes, RecordHeldByTheCrashedProcessIsLeftToIt) {
    TempDir dir;
    const int64_t now = pendingCrashes::wallClockNowNs();
    makeKeptFile(dir.path(), {"held", 100, 30, true}, now);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(dir.file("held.rec").c_str(), O_RDWR);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        const char ok = fcntl(fd, F_SETLK, &whole) == 0 ? '1' : '0';
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(1, read(ready[0], &ok, 1));
    EXPECT_EQ('1', ok);
    EXPECT_TRUE(pendingCrashes::collect(dir.path(), now, now).empty());
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(1u, pendingCrashes::collect(dir.path(), now, now).size());
    EXPECT_TRUE(exists(dir.file("held.dmp")));
}

TEST(PendingCrashes, ACrashNeverAcceptedIsDroppedAfterItsAttempts) {
    TempDir dir;
    makeKeptFile(dir.path(), {"refused", 100, 30, true}, pendingCrashes::wallClockNowNs());
    pendingCrashes::Crash crash;
    crash.dumpPath = dir.file("refused.dmp");
    crash.recordPath = dir.file("refused.rec");
    for (int attempt = 1; attempt < pendingCrashes::kMaxAttempts; ++attempt) {
        EXPECT_FALSE(pendingCrashes::countFailedAttempt(crash)) << attempt;
        EXPECT_TRUE(exists(crash.dumpPath)) << attempt;
    }
    EXPECT_TRUE(pendingCrashes::countFailedAttempt(crash));
    EXPECT_FALSE(exists(crash.dumpPath));
    EXPECT_FALSE(exists(crash.recordPath));
    EXPECT_FALSE(exists(dir.file("refused.tries")));
}

// The main channel's set-up sends what earlier processes kept, oldest first: delivered crashes
// go, refused ones count an attempt each, and when the collector gives no answer at all the
// first one counts an attempt and the rest are not tried.
namespace {

struct KeptDeliveryRow {
    const char* name;
    // The collector's mode, or "down".
    const char* collectorMode;
    std::vector<std::string> collectorArgs;
    // UserIDs of the crash records the collector received, in order.
    std::vector<std::string> received;
    // Per kept crash, oldest first: still there, and its attempts so far ("" for none).
    std::vector<std::pair<bool, std::string>> after;
};

void keepCrash(const std::string& directory, const std::string& id, int ageSeconds) {
    const std::string record = R"({"body":"Android NDK Crash","logLevel":"FATAL",)"
                               R"("logSource":"CrashDump","UserID":")" +
                               id + "\"}\n1700000000000\n";
    writeFileText(directory + "/" + id + ".rec", record);
    writeFileText(directory + "/" + id + ".dmp", "MDMP-" + id);
    const int64_t modified = pendingCrashes::wallClockNowNs() - ageSeconds * kSecondNs;
    const timespec times[2] = {wallTime(modified - modified % kSecondNs),
                               wallTime(modified - modified % kSecondNs)};
    utimensat(AT_FDCWD, (directory + "/" + id + ".dmp").c_str(), times, 0);
}

void expectKeptDelivery(const KeptDeliveryRow& row) {
    SCOPED_TRACE(row.name);
    const bool down = std::string(row.collectorMode) == "down";
    CollectorOptions options;
    if (!down) options.mode = row.collectorMode;
    options.extraArgs = row.collectorArgs;
    CollectorProcess collector(options);
    const std::string address = collector.address();
    const uint16_t port = down ? qm_test::unusedLoopbackPort() : collector.port();
    TempDir storage;
    std::filesystem::create_directories(projectDir(storage));
    const std::vector<std::string> ids = {"older", "newer"};
    keepCrash(projectDir(storage), "older", 90);
    keepCrash(projectDir(storage), "newer", 30);
    ASSERT_EQ(0, runInChild(
                     [&] {
                         if (QuillMarkInitialize(kProject, storage.path().c_str(), "1.0.0",
                                                 address.c_str(), port, nullptr, nullptr, true,
                                                 false, "quillmark-user") != 0) {
                             return 2;
                         }
                         // Settled once the session record was answered or stored.
                         qm_test::waitUntil(
                             [&] {
                                 return !qm_test::withBody(collector, "CREATE SESSION").empty() ||
                                        exists(logFile(storage));
                             },
                             15000);
                         QuillMarkDestroy();
                         return 0;
                     },
                     kChildTimeoutMs));
    std::vector<std::string> received;
    for (const Json::Value& record : qm_test::withBody(collector, "Android NDK Crash")) {
        received.push_back(record["UserID"].asString());
        EXPECT_EQ("1700000000000", record["sendTime"].asString());
        EXPECT_EQ("StoreApp", record["projectName"].asString());
    }
    EXPECT_EQ(row.received, received);
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::string base = projectDir(storage) + "/" + ids[i];
        EXPECT_EQ(row.after[i].first, exists(base + ".dmp")) << ids[i];
        EXPECT_EQ(row.after[i].first, exists(base + ".rec")) << ids[i];
        const std::string tries = qm_test::readFileText(base + ".tries");
        EXPECT_EQ(row.after[i].second, tries.substr(0, tries.find('\n'))) << ids[i];
    }
}

}  // namespace

TEST(PendingCrashes, MainChannelSetUpSendsKeptCrashesOldestFirst) {
    const KeptDeliveryRow rows[] = {
        {"accepted", "ok", {}, {"older", "newer"}, {{false, ""}, {false, ""}}},
        {"refused",
         "ok",
         {"--fail-body", "Android"},
         {"older", "newer"},
         {{true, "1"}, {true, "1"}}},
        {"no answer", "down", {}, {}, {{true, "1"}, {true, ""}}},
    };
    for (const KeptDeliveryRow& row : rows) expectKeptDelivery(row);
}
