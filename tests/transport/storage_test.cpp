// Records the collector did not take are kept in the project's "log.txt" and sent again by the
// next start. A "start" is a library on a state of its own in this process; successive starts
// share one storage directory, as successive runs of an application do. Only a start that dies
// mid-way is a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "crash/veskCatcher.h"
#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/scripted_library.h"
#include "support/slow_build.h"
#include "support/temp_dir.h"
#include "transport/batchDelivery.h"
#include "transport/journalRing.h"
#include "transport/localStore.h"
#include "transport/pendingCrashes.h"
#include "util/jsonText.h"

using qm_test::bodiesOf;
using qm_test::ScriptedCollector;
using qm_test::ScriptedLibrary;
using qm_test::SeenRequest;
using qm_test::TempDir;
using qm_test::writeFileText;

namespace {

const int kChildTimeoutMs = 30000;
const int kDeliveryMs = 20000;
const char* const kProject = "StoreApp";
const char* const kUser = VESK_CHANNEL_USER;

// Every batch goes to local storage.
const ScriptedCollector::Responder kRefusingEveryBatch =
    ScriptedCollector::always(503, R"({"header":{}})");

// Takes every record except those whose body holds `text`.
ScriptedCollector::Responder refusing(const std::string& text) {
    return [text](const SeenRequest& request, const ExchangeDeadline& deadline) {
        std::vector<bool> taken;
        for (const Json::Value& record : request.records) {
            taken.push_back(record["body"].asString().find(text) == std::string::npos);
        }
        return ScriptedCollector::always(200, ScriptedCollector::answerFor(taken))(request,
                                                                                   deadline);
    };
}

std::string projectDir(const TempDir& storage, const std::string& project = kProject) {
    return storage.path() + "/quillmark/" + project;
}

std::string logFile(const TempDir& storage, const std::string& project = kProject) {
    return projectDir(storage, project) + "/log.txt";
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

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

// The posts the script saw (settings requests left out), each its array of records.
std::vector<Json::Value> batchesOf(const ScriptedCollector& collector) {
    std::vector<Json::Value> batches;
    for (const SeenRequest& request : collector.requests()) {
        if (request.get) continue;
        Json::Value batch(Json::arrayValue);
        for (const Json::Value& record : request.records) batch.append(record);
        batches.push_back(batch);
    }
    return batches;
}

bool sessionArrived(const ScriptedCollector& collector) {
    return !qm_test::withField(collector.records(), "body", "CREATE SESSION").empty();
}

// One start of the application against a collector answering as `answer` does: initialise,
// send these messages as one batch, end. The batches it posted.
std::vector<Json::Value> runStart(
    const TempDir& storage, const std::vector<std::string>& messages,
    const ScriptedCollector::Responder& answer = ScriptedCollector::acceptAll()) {
    ScriptedLibrary library(answer);
    EXPECT_EQ(0, library.init(kProject, storage.path(), true));
    for (const std::string& message : messages) {
        EXPECT_TRUE(library.core.sendLog(VESK_LL_ERROR, message.c_str(), kUser));
    }
    library.core.startSendThread();
    // The stored records go before this start's own: once its batch arrived, the re-send is
    // over, and the shutdown's cut-off only meets the answer to that one small batch.
    EXPECT_TRUE(qm_test::waitUntil([&] { return sessionArrived(library.collector); }, kDeliveryMs));
    library.core.destory();
    return batchesOf(library.collector);
}

std::string storedLine(const std::string& body, const Json::Value& errorRate) {
    Json::Value record;
    record["handlerName"] = kUser;
    record["projectName"] = kProject;
    record["logType"] = "quillmark-log";
    record["body"] = body;
    if (!errorRate.isNull()) record["errorRate"] = errorRate;
    return jsonText::writeCompact(record);
}

// A channel registered straight with the registry, whose sending thread never runs: storage is
// then driven call by call.
std::unique_ptr<Handler> channelRecord(const std::string& name, const std::string& project,
                                       const TempDir& storage) {
    auto channel = std::make_unique<Handler>();
    channel->m_handlerName = name;
    channel->m_projectName = project;
    channel->m_sdCardPath = storage.path();
    channel->m_Addr = ScriptedLibrary::kAddress;
    channel->m_Port = ScriptedLibrary::kPort;
    return channel;
}

std::string recordText(const std::string& body) {
    Json::Value record;
    record["body"] = body;
    record["logType"] = "quillmark-log";
    return jsonText::writeCompact(record);
}

// The library's log lines while the object lives.
class CapturedLog {
public:
    CapturedLog() {
        qm_platform::setLogToStderr(false);
        qm_platform::startLogCapture();
    }
    ~CapturedLog() {
        qm_platform::stopLogCapture();
        qm_platform::setLogToStderr(true);
    }
    std::vector<std::string> lines() const { return qm_platform::capturedLogLines(); }
};

}  // namespace

TEST(LocalStorage, RecordComesBackWithOneMoreFailureEachStartAndGoesAfterTheFourth) {
    TempDir storage;
    runStart(storage, {"FAIL-a", "fine", "FAIL-b"}, refusing("FAIL"));
    std::vector<Json::Value> stored = fileLines(logFile(storage));
    ASSERT_EQ((std::vector<std::string>{"FAIL-a", "FAIL-b"}), bodiesOf(stored));
    for (const Json::Value& line : stored) {
        EXPECT_EQ("1", line["errorRate"].asString());
        EXPECT_EQ("v2", line["logVersion"].asString());
    }

    for (int start = 2; start <= 4; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        // The stored records travel first, together, before this start's own session record.
        const std::vector<Json::Value> batches = runStart(storage, {}, refusing("FAIL"));
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

// A re-send that no collector answers stops at its first batch and counts no failure: four
// starts offline leave every stored record as it was, and the first start that reaches a
// collector sends each of them once, in order, with the failures it had.
TEST(LocalStorage, ResendStopsAtTheFirstUnansweredBatchAndOfflineStartsCountNoFailure) {
    TempDir storage;
    std::vector<std::string> bodies;
    std::string content;
    // About three batches of the re-send.
    for (int i = 0; i < 60; ++i) {
        bodies.push_back("stored " + std::to_string(i) + " " + std::string(100000, 's'));
        content += storedLine(bodies.back(), "1");
    }
    writeFileText(logFile(storage), content);
    for (int start = 1; start <= 4; ++start) {
        SCOPED_TRACE("offline start " + std::to_string(start));
        ScriptedLibrary offline(ScriptedCollector::unreachable());
        ASSERT_EQ(0, offline.init(kProject, storage.path(), false));
        // The session record is stored behind the records awaiting their re-send, which is
        // tried again in the run after a pause.
        ASSERT_TRUE(qm_test::waitUntil(
            [&] {
                for (const qm_test::StoredRecord& kept : offline.stored()) {
                    if (kept.record["body"] != "CREATE SESSION") continue;
                    return batchesOf(offline.collector).size() >= 2;
                }
                return false;
            },
            kDeliveryMs));
        offline.core.destory();
        // Each attempt again from its first batch.
        const std::vector<Json::Value> batches = batchesOf(offline.collector);
        ASSERT_GE(batches.size(), 2u);
        EXPECT_EQ("stored 0", bodiesOf(batches[0])[0].substr(0, 8));
        const std::vector<std::string> first = bodiesOf(batches[0]);
        for (size_t i = 1; i < batches.size(); ++i) {
            const std::vector<std::string> bodies = bodiesOf(batches[i]);
            if (bodies.empty() || bodies[0].rfind("stored", 0) != 0) continue;
            EXPECT_EQ(first, bodies) << "batch " << i;
        }
    }
    ScriptedLibrary online;
    ASSERT_EQ(0, online.init(kProject, storage.path(), false));
    ASSERT_TRUE(online.collector.waitForRecords(bodies.size(), kDeliveryMs));
    online.core.destory();
    std::vector<std::string> arrived;
    for (const Json::Value& record : online.collector.records()) {
        const std::string body = record["body"].asString();
        if (body.rfind("stored ", 0) != 0) continue;
        arrived.push_back(body);
        EXPECT_EQ("1", record["errorRate"].asString());
    }
    EXPECT_EQ(bodies, arrived);
}

TEST(LocalStorage, StoredRecordsReachTheNextCollectorWithTheirTextIntact) {
    TempDir storage;
    const std::string tricky = "quote \" backslash \\ bell \x07 tab \t line\nend \xc3\xbc";
    runStart(storage, {tricky, "plain"}, kRefusingEveryBatch);
    ASSERT_EQ(3u, fileLines(logFile(storage)).size());  // session record and two logs

    const std::vector<Json::Value> batches = runStart(storage, {});
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
    TempDir storage;
    std::string content = storedLine("first", "1");
    content += "\n";                                                  // empty line
    content += "x\n";                                                 // one character
    content += std::string("\x00\xff\xfe garbage \x01{", 14) + "\n";  // binary
    content += std::string(10 * 1024 * 1024, 'x') + "\n";             // 10 MiB
    content += "[1,2]\n\"text\"\n42\n";                               // JSON, but not objects
    content += std::string(5000, '[') + "\n";                         // deeper than the reader goes
    Json::Value typed;
    typed["handlerName"] = kUser;
    typed["body"] = "second";
    typed["count"] = 7;
    typed["nested"]["a"] = "b";
    content += jsonText::writeCompact(typed);
    content += storedLine("cut by a crash", "1").substr(0, 30);  // last line, no line end
    writeFileText(logFile(storage), content);

    const std::vector<Json::Value> batches = runStart(storage, {});
    ASSERT_EQ(2u, batches.size());
    const Json::Value& resent = batches[0];
    ASSERT_EQ((std::vector<std::string>{"first", "second"}), bodiesOf(resent));
    EXPECT_FALSE(resent[1].isMember("handlerName"));
    EXPECT_EQ("7", resent[1]["count"].asString());
    EXPECT_EQ("{\"a\":\"b\"}", resent[1]["nested"].asString());
    EXPECT_FALSE(exists(logFile(storage)));
}

TEST(LocalStorage, FailureCountsThatAreNotPlainNumbers) {
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

    // Answered and refused: only a collector's answer counts a failure.
    runStart(storage, {}, refusing(""));
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
// The store's one bound covers "log.txt" and what is left of a re-send together: whatever fills
// it, the newest records stay, every drop is counted, and no line claims a loss that did not
// happen.
TEST(LocalStorage, StoreByteCapKeepsTheNewestAndCountsEveryDrop) {
    const uint64_t bound = LocalStore::kMaxStoreBytes;
    const size_t total = (bound * 5 / 4) / 1024;  // 1 KiB records
    std::vector<std::string> small;
    for (size_t i = 0; i < total; ++i) small.push_back(std::to_string(i) + std::string(1000, 'r'));
    // Keeps the records through the library's store, in batches of a pass.
    auto keepAll = [](LibraryState& state, const std::vector<std::string>& bodies) {
        std::vector<std::string> batch;
        for (size_t i = 0; i < bodies.size(); ++i) {
            batch.push_back(recordText(bodies[i]));
            if (batch.size() < 500 && i + 1 < bodies.size()) continue;
            state.store.keep(batch, "main");
            batch.clear();
        }
    };
    // "log.txt" and the part of a re-send not yet answered for.
    auto storeBytes = [](const TempDir& storage) {
        const std::string dir = projectDir(storage);
        uint64_t bytes =
            exists(dir + "/log.txt") ? std::filesystem::file_size(dir + "/log.txt") : 0;
        if (exists(dir + "/log.resend")) {
            bytes +=
                std::filesystem::file_size(dir + "/log.resend") -
                std::strtoull(qm_test::readFileText(dir + "/log.resend.pos").c_str(), nullptr, 10);
        }
        return bytes;
    };
    struct Row {
        const char* name;
        // Fills the store; returns the bodies in the order they came, and adds those a re-send
        // delivered meanwhile to `delivered`.
        std::function<std::vector<std::string>(const TempDir&, LibraryState&,
                                               std::vector<std::string>& delivered)>
            fill;
    };
    const Row rows[] = {
        {"appended in passes",
         [&](const TempDir& storage, LibraryState& state, std::vector<std::string>&) {
             keepAll(state, small);
             EXPECT_LE(storeBytes(storage), bound);
             return small;
         }},
        {"an older, larger file taken over",
         [&](const TempDir& storage, LibraryState&, std::vector<std::string>&) {
             std::string content;
             for (const std::string& body : small) content += storedLine(body, "1");
             writeFileText(logFile(storage), content);
             return small;
         }},
        {"a record over half the bound, then another",
         [&](const TempDir& storage, LibraryState& state, std::vector<std::string>&) {
             const std::vector<std::string> big = {"9 MiB" + std::string(9 << 20, 'n'),
                                                   "7.5 MiB" + std::string(15 << 19, 'n')};
             for (const std::string& body : big) keepAll(state, {body});
             EXPECT_LE(storeBytes(storage), bound);
             return big;
         }},
        {"new failures while an earlier start's records are sent again",
         [&](const TempDir& storage, LibraryState& state, std::vector<std::string>& delivered) {
             const std::vector<std::string> older(small.begin(),
                                                  small.begin() + small.size() * 3 / 5);
             const std::vector<std::string> newer(small.begin() + older.size(), small.end());
             std::string content;
             for (const std::string& body : older) content += storedLine(body, "1");
             writeFileText(logFile(storage), content);
             StoreHealth health;
             LocalStore resend(projectDir(storage), health);
             EXPECT_TRUE(resend.claim());
             std::vector<std::string> batch;
             EXPECT_TRUE(resend.nextBatch(batch));
             for (const std::string& line : batch) {
                 Json::Value record;
                 jsonText::parse(line, record);
                 delivered.push_back(record["body"].asString());
             }
             keepAll(state, newer);
             // The batch in flight is still in the file until it is answered for.
             EXPECT_LE(storeBytes(storage), bound + LocalStore::kMaxBatchBytes + 2048);
             resend.confirmBatch();
             EXPECT_LE(storeBytes(storage), bound + 2048);
             return small;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir storage;
        CapturedLog log;
        LibraryState state;
        auto channel = channelRecord("main", kProject, storage);
        ASSERT_TRUE(state.registry.add(channel));
        std::vector<std::string> readBack;
        const std::vector<std::string> sent = row.fill(storage, state, readBack);
        const size_t deliveredEarly = readBack.size();
        // Start after start until the store is empty.
        for (int start = 0; start < 3; ++start) {
            StoreHealth health;
            LocalStore store(projectDir(storage), health);
            if (!store.claim()) break;
            std::vector<std::string> batch;
            while (store.nextBatch(batch)) {
                size_t bytes = 0;
                for (const std::string& line : batch) bytes += line.size();
                EXPECT_TRUE(batch.size() == 1 || bytes <= LocalStore::kMaxBatchBytes);
                for (const std::string& line : batch) {
                    Json::Value record;
                    jsonText::parse(line, record);
                    readBack.push_back(record["body"].asString());
                }
                store.confirmBatch();
            }
        }
        EXPECT_FALSE(exists(logFile(storage)));
        const std::vector<std::string> lines = log.lines();
        for (const std::string& line : lines) {
            EXPECT_EQ(std::string::npos, line.find("not kept")) << line;
        }
        const qm_test::Accounting accounting = qm_test::account(sent, {}, readBack, lines);
        qm_test::expectEveryRecordAccountedFor(accounting, true);
        EXPECT_EQ(accounting.lost.size(), accounting.dropped);
        EXPECT_GT(accounting.dropped, 0u);
        // The oldest went, after those already delivered: what is left is the end of what came
        // in, in order.
        ASSERT_LE(readBack.size(), sent.size());
        EXPECT_TRUE(std::equal(readBack.begin(), readBack.begin() + deliveredEarly, sent.begin()));
        EXPECT_TRUE(std::equal(readBack.begin() + deliveredEarly, readBack.end(),
                               sent.end() - (readBack.size() - deliveredEarly)));
    }
}

TEST(LocalStorage, LineCutByACrashLosesOnlyItself) {
    TempDir storage;
    ScriptedCollector collector;
    {
        LibraryState state(collector.factory());
        auto channel = channelRecord("main", kProject, storage);
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
    const std::vector<Json::Value> batches = batchesOf(collector);
    ASSERT_EQ(1u, batches.size());
    EXPECT_EQ((std::vector<std::string>{"before", "after"}), bodiesOf(batches[0]));
    EXPECT_FALSE(exists(logFile(storage)));
}

TEST(LocalStorage, ChannelsOfOneProjectShareTheFileAndSendItOncePerStart) {
    TempDir storage;
    auto start = [&](bool sendLogs) {
        ScriptedLibrary library(refusing("FAIL"));
        EXPECT_EQ(0, library.init(kProject, storage.path(), true));
        EXPECT_EQ(0, library.init(kProject, storage.path(), true, VESK_CHANNEL_CORVANE));
        if (sendLogs) {
            library.core.sendLog(VESK_LL_ERROR, "FAIL-user", kUser);
            library.core.sendLog(VESK_LL_ERROR, "FAIL-corvane", VESK_CHANNEL_CORVANE);
        }
        library.core.startSendThread();
        library.core.destory();
        return batchesOf(library.collector);
    };
    start(true);
    std::vector<Json::Value> stored = fileLines(logFile(storage));
    ASSERT_EQ(2u, stored.size());
    EXPECT_EQ("1", withBody(stored, "FAIL-user")["errorRate"].asString());
    EXPECT_EQ("1", withBody(stored, "FAIL-corvane")["errorRate"].asString());

    size_t resends = 0;
    for (const Json::Value& batch : start(false)) {
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
    TempDir storage;
    const std::string plainFile = storage.file("plain-file");
    writeFileText(plainFile, "not a directory");
    // A missing folder is made with its parents; a file, or a folder not writable (not even by
    // root), is refused with its own code: the channel would have nowhere to keep its state.
    const struct {
        std::string path;
        int result;
    } cases[] = {{storage.file("missing/deeper"), 0}, {plainFile, -6}, {"/proc/self", -6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ScriptedLibrary library(refusing("FAIL"));
        EXPECT_EQ(c.result, library.init(kProject, c.path, false));
        EXPECT_EQ(c.result == 0, library.core.sendLog(VESK_LL_ERROR, "FAIL", kUser));
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
        // Never followed: writing through it would fill a file of someone else's choosing.
        {"log.txt is a link (here to /dev/full)",
         [](const std::string& path) {
             std::filesystem::create_directories(std::filesystem::path(path).parent_path());
             std::filesystem::create_symlink("/dev/full", path);
         },
         "Too many levels of symbolic links"},
        // Refused at once: a FIFO would hold the sending thread once its buffer is full.
        {"log.txt is a FIFO",
         [](const std::string& path) {
             std::filesystem::create_directories(std::filesystem::path(path).parent_path());
             ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
         },
         "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir storage;
        c.spoil(logFile(storage));
        CapturedLog log;
        ScriptedLibrary library(refusing("FAIL"));
        ASSERT_EQ(0, library.init(kProject, storage.path(), false));
        // One pass each: every failure is a store of its own.
        std::vector<std::string> failing;
        for (int i = 0; i < 5; ++i) {
            failing.push_back("FAIL-" + std::to_string(i));
            ASSERT_TRUE(library.core.sendLog(VESK_LL_ERROR, failing.back().c_str(), kUser));
            qm_test::waitUntil([&] { return library.core.sender()->queuedCount() == 0; }, 2000);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        ASSERT_TRUE(library.core.sendLog(VESK_LL_ERROR, c.name, kUser));
        library.core.destory();
        const std::vector<std::string> lines = log.lines();
        size_t conditionLines = 0;
        for (const std::string& line : lines) {
            if (line.find("[store] records not kept") == std::string::npos) continue;
            ++conditionLines;
            EXPECT_NE(std::string::npos, line.find(c.condition)) << line;
        }
        EXPECT_EQ(1u, conditionLines);
        const qm_test::Accounting accounting =
            qm_test::account(failing, {}, qm_test::storedBodies(projectDir(storage)), lines);
        qm_test::expectEveryRecordAccountedFor(accounting, true);
        EXPECT_EQ(failing.size(), accounting.dropped);
        EXPECT_EQ(1u, qm_test::withField(library.collector.records(), "body", c.name).size());
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

    const int killed = qm_test::runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            std::atomic<bool> posted{false};
            ScriptedLibrary stalled([&](const SeenRequest& request, const ExchangeDeadline& end) {
                if (request.get) return CollectorAnswer();
                posted = true;
                return ScriptedCollector::stall()(request, end);
            });
            if (stalled.init(kProject, storage.path(), false) != 0) return 2;
            if (!qm_test::waitUntil([&] { return posted.load(); }, kDeliveryMs)) return 3;
            raise(SIGKILL);
            return 4;
        },
        kChildTimeoutMs);
    ASSERT_EQ(128 + SIGKILL, killed);
    EXPECT_TRUE(exists(projectDir(storage) + "/log.resend"));

    ScriptedLibrary healthy;
    ASSERT_EQ(0, healthy.init(kProject, storage.path(), false));
    // The stored records, then the killed run's session record (it was still queued), then
    // this run's.
    healthy.collector.waitForRecords(bodies.size() + 2, 3 * kDeliveryMs);
    healthy.core.destory();
    const std::vector<Json::Value> batches = batchesOf(healthy.collector);
    for (const SeenRequest& request : healthy.collector.requests()) {
        EXPECT_LE(request.body.size(), LocalStore::kMaxBatchBytes + 64 * 1024);
    }
    EXPECT_EQ(5u, batches.size());  // three batches, then the two session records
    const std::vector<Json::Value> records = healthy.collector.records();
    EXPECT_EQ(2u, qm_test::withField(records, "body", "CREATE SESSION").size());
    const qm_test::Accounting accounting =
        qm_test::account(bodies, bodiesOf(records), qm_test::storedBodies(projectDir(storage)), {});
    qm_test::expectEveryRecordAccountedFor(accounting, true);
    EXPECT_EQ(bodies.size(), accounting.accepted);
    EXPECT_FALSE(exists(projectDir(storage) + "/log.resend"));
    EXPECT_FALSE(exists(logFile(storage)));
}

// The sending thread waits for a registry another thread holds for long instead of dropping the
// record it stores (giving up after 500 ms is for a crash report only).
TEST(LocalStorage, SendingThreadStoresEvenWhenTheRegistryStaysBusy) {
    TempDir storage;
    std::atomic<bool> arrived{false};
    ScriptedLibrary library([&](const SeenRequest& request, const ExchangeDeadline& deadline) {
        if (!request.get) arrived = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return kRefusingEveryBatch(request, deadline);
    });
    CapturedLog log;
    ASSERT_EQ(0, library.init(kProject, storage.path(), true));
    ASSERT_TRUE(library.core.sendLog(VESK_LL_ERROR, "busy registry", kUser));
    library.core.startSendThread();
    // The batch arrived; its refusal comes while the registry is held.
    ASSERT_TRUE(qm_test::waitUntil([&] { return arrived.load(); }, kDeliveryMs));
    bool held = false;
    library.state.registry.forEach([&](const Handler&, RecordJournal*) {
        if (held) return;
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    });
    library.core.destory();
    const qm_test::Accounting accounting =
        qm_test::account({"busy registry"}, {}, qm_test::storedBodies(projectDir(storage)), {});
    EXPECT_EQ(1u, accounting.stored);
}

// ---------------------------------------------------------------------------------------------
// Send-only: a null or empty storage path sends and keeps nothing on the device

namespace {

// The working directory of the process while the object lives, so that a relative path the
// library made would show there.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) : m_before(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(m_before); }

private:
    std::filesystem::path m_before;
};

}  // namespace

TEST(SendOnly, RecordsArriveAndNothingIsStoredOrSentAgain) {
    ASSERT_FALSE(exists("/quillmark"));
    struct Case {
        const char* name;
        const char* path;
    };
    for (const Case& c : {Case{"null", nullptr}, Case{"empty", ""}}) {
        SCOPED_TRACE(c.name);
        TempDir cwd;
        const WorkingDirectory inCwd(cwd.path());
        for (const std::string tag : {"first", "second"}) {
            ScriptedLibrary library(refusing("FAIL"));
            ASSERT_EQ(0, library.core.initialize(kProject, c.path, "1.0.0", nullptr, nullptr,
                                                 ScriptedLibrary::kAddress, ScriptedLibrary::kPort,
                                                 true, false, kUser));
            EXPECT_FALSE(library.core.openCrashCatcher());  // Breakpad would have nowhere to write
            // Once the session arrived the channel is set up, so later records carry its
            // device ID.
            ASSERT_TRUE(library.collector.waitForRecords(1, kDeliveryMs));
            EXPECT_TRUE(library.core.sendLog(VESK_LL_ERROR, ("FAIL " + tag).c_str(), kUser));
            EXPECT_TRUE(library.core.sendLog(VESK_LL_ERROR, ("ok " + tag).c_str(), kUser));
            ASSERT_TRUE(library.collector.waitForRecords(3, kDeliveryMs));
            library.core.destory();
            // Its session, its refused record and its delivered one; nothing came back.
            const std::vector<Json::Value> records = library.collector.records();
            EXPECT_EQ((std::vector<std::string>{"CREATE SESSION", "FAIL " + tag, "ok " + tag}),
                      bodiesOf(records));
            EXPECT_FALSE(withBody(records, "ok " + tag)["DeviceID"].asString().empty());
        }
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
        // Slow builds still take the ring round about 20 and 6 times.
        {"records that make the ring wrap", 30000, qm_test::countFor<size_t>(300, 30)},
        {"odd sizes, many laps", 1237, qm_test::countFor<size_t>(2000, 200)},
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

// Each entry reads back as its record merged, whatever the own fields' keys are next to the
// channel's, and however records of different channels, or of a channel whose fields changed,
// follow one another: the channel's fields are journaled once per change, each record refers to
// them. Records still undone keep the fields entry they use, even once done passed it and the
// ring went round many times since.
TEST(RecordJournal, EachEntryReadsBackAsItsRecordMerged) {
    using Fields = std::shared_ptr<const MapValues>;
    const Fields user = std::make_shared<const MapValues>(
        MapValues{{"appKey", "k"}, {"body", "channel"}, {"handlerName", "u"}, {"userID", "1"}});
    const Fields userLater = std::make_shared<const MapValues>(
        MapValues{{"appKey", "k"}, {"handlerName", "u"}, {"userID", "2"}, {"zone", ""}});
    const Fields other =
        std::make_shared<const MapValues>(MapValues{{"a", "1"}, {"ab", "2"}, {"\xC3\xA9", "3"}});
    const Fields third = std::make_shared<const MapValues>(MapValues{{"m", "third"}});
    MapValues large{{"handlerName", "u"}};
    for (int i = 0; i < 30; ++i) large["custom" + std::to_string(i)] = std::string(4096, 'a' + i);
    const Fields big = std::make_shared<const MapValues>(large);
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
        {"a channel with 30 fields of 4 KiB", big, {{"body", "big"}}},
        {"the changed channel after it", userLater, {{"body", "after big"}}},
    };
    struct Run {
        const char* name;
        // Rounds of every row, each marked done, before the last round.
        size_t laps;
        // Rows of the last round marked done, from its first; the rest are the leftovers.
        size_t done;
    };
    const Run runs[] = {
        {"nothing done", 0, 0},
        {"done passed the fields entry undone records use", 0, 2},
        {"after many laps of the ring", qm_test::countFor<size_t>(60, 20), 2},
        {"only the last record undone", qm_test::countFor<size_t>(60, 20), rows.size() - 1},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        TempDir dir;
        {
            std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
            ASSERT_NE(journal, nullptr);
            for (size_t lap = 0; lap <= run.laps; ++lap) {
                std::vector<uint32_t> sequences;
                for (const Row& row : rows) {
                    QueuedRecord record(row.shared, row.own);
                    ASSERT_TRUE(journal->appendAndPush(record, [] { return true; })) << row.name;
                    ASSERT_NE(record.sequence, 0u) << row.name;
                    sequences.push_back(record.sequence);
                }
                if (lap < run.laps) journal->markDone(sequences.back());
                if (lap == run.laps && run.done != 0) journal->markDone(sequences[run.done - 1]);
            }
        }
        std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
        ASSERT_NE(journal, nullptr);
        uint32_t last = 0;
        const std::vector<MapValues> found = journal->takeLeftovers(last);
        ASSERT_EQ(found.size(), rows.size() - run.done);
        for (size_t i = run.done; i < rows.size(); ++i) {
            EXPECT_EQ(found[i - run.done], mergedFields(QueuedRecord(rows[i].shared, rows[i].own)))
                << rows[i].name;
        }
    }
}

// A full ring, a second process and a damaged file: records still flow, only unjournaled.
TEST(RecordJournal, FullBusyOrDamagedJournals) {
    TempDir dir;
    {
        std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
        ASSERT_NE(journal, nullptr);
        // Each further holder (another process of the app) journals into a file of its own,
        // up to the bound; a held file is nobody's leftovers.
        std::vector<std::unique_ptr<RecordJournal>> others;
        for (size_t i = 1; i < RecordJournal::kFiles; ++i) {
            others.push_back(RecordJournal::open(dir.path()));
            ASSERT_NE(others.back(), nullptr) << i;
            EXPECT_EQ(i, others.back()->index());
        }
        EXPECT_EQ(RecordJournal::open(dir.path()), nullptr);
        EXPECT_EQ(RecordJournal::openIdle(dir.path(), 1), nullptr);
        others.clear();
        EXPECT_NE(RecordJournal::openIdle(dir.path(), 1), nullptr);
        EXPECT_EQ(RecordJournal::openIdle(dir.path(), RecordJournal::kFiles), nullptr);
        writeFileText(dir.path() + RecordJournal::fileName(2), "short");
        EXPECT_EQ(RecordJournal::openIdle(dir.path(), 2), nullptr);
        const size_t fits = RecordJournal::kRingBytes / 4096;
        EXPECT_LT(appendRecords(*journal, 0, fits + 50, true, 4000).size(), fits + 50);
        EXPECT_GT(journal->notJournaled(), 0u);
        // A record larger than a quarter of the ring is never journaled.
        EXPECT_TRUE(appendRecords(*journal, 0, 1, true, RecordJournal::kRingBytes / 4).empty());
    }
    {
        // A channel's fields are journaled once, not with each record: a channel with 30 fields
        // of 4 KiB still lets the ring hold 2,000 records and more.
        TempDir large;
        std::unique_ptr<RecordJournal> journal = RecordJournal::open(large.path());
        ASSERT_NE(journal, nullptr);
        MapValues fields{{"handlerName", "quillmark-user"}};
        for (int i = 0; i < 30; ++i) fields["custom" + std::to_string(i)] = std::string(4096, 'c');
        const auto channel = std::make_shared<const MapValues>(fields);
        for (size_t i = 0; i < 2000; ++i) {
            QueuedRecord record(channel, {{"body", journalRecord(i).at("body")},
                                          {"logLevel", "INFO"},
                                          {"sendTime", "1765000000000"}});
            journal->appendAndPush(record, [] { return true; });
            ASSERT_NE(record.sequence, 0u) << i;
        }
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
        {"keep offset beyond the ring", 16, std::string("\xff\xff\xff\x7f", 4), 0},
        {"first entry's length beyond the ring", 4096, std::string("\xf0\xff\xff\x7f", 4), 0},
        {"the fields entry's kind", 4096 + 8, "\x7f", 0},
        {"the fields entry's field count", 4096 + 8 + 4, "\x7f", 0},
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

// A journal an earlier version left ("QMJRNL01": each entry a record's fields merged) reads
// back, and its records stay journaled in the present format until they are marked done.
TEST(RecordJournal, FirstFormatJournalStillReadsBack) {
    auto put32 = [](std::string& out, uint32_t value) {
        out.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    std::string file(journalRing::kFileBytes, '\0');
    file.replace(0, 8, "QMJRNL01");
    const uint32_t doneSequence = 6;
    const uint32_t doneOffset = 64;
    file.replace(8, 4, reinterpret_cast<const char*>(&doneOffset), 4);
    file.replace(12, 4, reinterpret_cast<const char*>(&doneSequence), 4);
    size_t at = journalRing::kHeaderBytes + doneOffset;
    for (size_t i = 0; i < 3; ++i) {
        const MapValues record = journalRecord(i);
        std::string body;
        put32(body, static_cast<uint32_t>(record.size()));
        for (const auto& [key, value] : record) {
            put32(body, static_cast<uint32_t>(key.size()));
            put32(body, static_cast<uint32_t>(value.size()));
            body += key + value;
        }
        std::string entry;
        put32(entry, static_cast<uint32_t>(body.size()));
        put32(entry, doneSequence + 1 + static_cast<uint32_t>(i));
        entry += body;
        file.replace(at, entry.size(), entry);
        at += journalRing::padded(entry.size());
    }
    TempDir dir;
    writeFileText(dir.path() + "/log.journal", file);
    EXPECT_EQ(leftoverBodies(dir.path()), journalBodies(0, 3));
    EXPECT_EQ(qm_test::readFileText(dir.path() + "/log.journal").substr(0, 8), "QMJRNL02");
    {
        std::unique_ptr<RecordJournal> journal = RecordJournal::open(dir.path());
        ASSERT_NE(journal, nullptr);
        uint32_t last = 0;
        EXPECT_EQ(journal->takeLeftovers(last).size(), 3u);
        journal->markDone(last);
    }
    EXPECT_TRUE(leftoverBodies(dir.path()).empty());
}

// A journal cut short from outside (the app clearing its folder, a cleaner) never ends the
// application: a write that meets the missing pages goes on, the sending thread gives the journal
// up with a warning, and every record still arrives. With the crash catcher's handler installed
// over the journal's, the fault is no crash either.
TEST(RecordJournal, FileCutShortFromOutsideNeverEndsTheApp) {
    struct Row {
        const char* name;
        off_t size;
        bool catcher;
        // Instead, a fault on the pages of another file cut short: not the journal's to take.
        bool otherFile = false;
    };
    const Row rows[] = {
        {"emptied", 0, false},
        {"cut inside the ring", 4096 + 32 * 1024, false},
        {"emptied, with the crash catcher's handler in front", 0, true},
        {"another file's fault still ends the process", 0, false, true},
    };
    // qemu-user re-raises the fault for ever after a handler mapped other pages over the
    // faulting ones (a ten-line program that goes on natively loops there), or dies of it: the
    // rows whose fault the journal takes over run only on a kernel.
    const bool emulated = std::getenv("QM_UNDER_QEMU") != nullptr;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (emulated && !row.otherFile) continue;
        TempDir storage;
        const std::vector<std::string> bodies = journalBodies(0, 200, 400);
        const int status = qm_test::runInChild(
            [&] {
                CapturedLog log;
                VeskCatcher catcher;
                ScriptedLibrary library;
                if (library.init(kProject, storage.path(), false) != 0) return 2;
                // The sending thread opens the journal before its first pass delivers.
                if (!library.collector.waitForRecords(1, kDeliveryMs)) return 7;
                catcher.initSdCardPath(projectDir(storage));
                if (row.catcher && !catcher.openCrashCatcher()) return 3;
                if (row.otherFile) {
                    const std::string other = storage.file("other");
                    writeFileText(other, std::string(8192, 'o'));
                    const int fd = open(other.c_str(), O_RDWR);
                    void* map = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                    if (map == MAP_FAILED || ftruncate(fd, 0) != 0) return 5;
                    static_cast<volatile char*>(map)[4096] = 'x';
                    return 6;
                }
                for (size_t i = 0; i < bodies.size(); ++i) {
                    if (i == bodies.size() / 2 &&
                        truncate((projectDir(storage) + "/log.journal").c_str(), row.size) != 0) {
                        return 4;
                    }
                    EXPECT_TRUE(library.core.sendLog(VESK_LL_ERROR, bodies[i].c_str(), kUser));
                }
                EXPECT_TRUE(library.collector.waitForRecords(bodies.size() + 1, kDeliveryMs));
                library.core.destory();
                std::vector<std::string> arrived;
                for (const std::string& body : bodiesOf(library.collector.records())) {
                    if (body.rfind("journal ", 0) == 0) arrived.push_back(body);
                }
                EXPECT_EQ(arrived, bodies);
                const std::vector<std::string> lines = log.lines();
                EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                              return line.find("[journal] log.journal was cut short") !=
                                     std::string::npos;
                          }));
                return 0;
            },
            kChildTimeoutMs);
        if (row.otherFile) {
            // Died of it (SIGBUS, or a sanitizer run-time's report), neither going on (6) nor
            // hanging (-1).
            EXPECT_TRUE(status != 0 && status != 6 && status != -1) << status;
        } else {
            EXPECT_EQ(0, status);
        }
    }
}

// Records sendLog accepted and the collector never answered for survive the end of the
// process: the next start delivers each once, in the order they were logged. A trickling
// collector is a stalled one to the pass (its deadline is pinned in plain_http_test).
TEST(RecordJournal, RecordsLoggedBeforeTheProcessDiesArriveAtTheNextStart) {
    struct Row {
        const char* name;
        ScriptedCollector::Responder answer;
        bool heldBack;  // sending never started: everything is still queued
        int signal;
        int windowMs = ScriptedLibrary::kBatchWindowMs;
        // Below a full batch, with the session record, when the window holds them.
        size_t records = 300;
        // Logged while the sending thread is held before it opens the journal (initialise
        // made none), then killed during the channel's set-up.
        bool beforeTheJournal = false;
    };
    const std::vector<Row> rows = {
        {"in flight to a stalled collector, then killed", ScriptedCollector::stall(), false,
         SIGKILL},
        {"in flight to a stalled collector, then abort", ScriptedCollector::stall(), false,
         SIGABRT},
        {"collector down, then a segfault", ScriptedCollector::unreachable(), false, SIGSEGV},
        {"held back in the queue, then killed", ScriptedCollector::acceptAll(), true, SIGKILL},
        {"gathered inside the window, then a segfault", ScriptedCollector::acceptAll(), false,
         SIGSEGV, 60000, 100},
        {"logged before the journal opened, killed during the set-up", ScriptedCollector::stall(),
         false, SIGKILL, ScriptedLibrary::kBatchWindowMs, 300, true},
        // The queue, the batch in flight and the overflow file, none of them twice.
        {"beyond the queue on the device, killed while stalled", ScriptedCollector::stall(), false,
         SIGKILL, ScriptedLibrary::kBatchWindowMs, 3000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool gathered = row.windowMs > ScriptedLibrary::kBatchWindowMs;
        TempDir storage;
        const std::vector<std::string> bodies = journalBodies(0, row.records);
        const int status = qm_test::runInChild(
            [&] {
                qm_platform::setLogToStderr(false);
                std::atomic<bool> held{row.beforeTheJournal};
                std::atomic<bool> asked{false};
                ScriptedLibrary first(
                    [&](const SeenRequest& request, const ExchangeDeadline& deadline) {
                        asked = true;
                        return row.answer(request, deadline);
                    },
                    [&] {
                        while (held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    });
                first.state.settings.batchWindowMs = row.windowMs;
                if (first.init(kProject, storage.path(), row.heldBack) != 0) return 2;
                const std::string journalFile = projectDir(storage) + "/log.journal";
                if (row.beforeTheJournal && exists(journalFile)) return 5;
                // The channel's set-up pass goes at once, with the session record; the
                // window holds what comes after it.
                if (gathered) std::this_thread::sleep_for(std::chrono::milliseconds(300));
                for (const std::string& body : bodies) {
                    while (!first.core.sendLog(VESK_LL_ERROR, body.c_str(), kUser)) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
                if (row.beforeTheJournal) {
                    if (exists(journalFile)) return 6;
                    held = false;
                    // The set-up's first exchange comes after the journal took the records.
                    if (!qm_test::waitUntil([&] { return asked.load(); }, kDeliveryMs)) return 7;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                // Sanitizer run-times catch some of these signals; the process must die of it.
                signal(row.signal, SIG_DFL);
                raise(row.signal);
                return 4;
            },
            kChildTimeoutMs);
        ASSERT_EQ(128 + row.signal, status);

        ScriptedLibrary next;
        ASSERT_EQ(0, next.init(kProject, storage.path(), false));
        next.collector.waitForRecords(bodies.size() + 2, kDeliveryMs);
        next.core.destory();
        const std::vector<Json::Value> records = next.collector.records();
        std::vector<std::string> arrived;
        for (const std::string& body : bodiesOf(records)) {
            if (body.rfind("journal ", 0) == 0) arrived.push_back(body);
        }
        EXPECT_EQ(arrived, bodies);
        // The crashed run's session record comes back too, before its records, unless its
        // set-up pass delivered it.
        EXPECT_EQ(gathered ? 1u : 2u, qm_test::withField(records, "body", "CREATE SESSION").size());
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
    ScriptedCollector::Responder answer;
    // Does something odd to the older crash's files (its directory, its id's path without
    // suffix); null leaves them as the crashed process wrote them.
    std::function<void(const std::string& base)> spoil;
    // UserIDs of the crash records posted, in order.
    std::vector<std::string> tried;
    // Per kept crash, oldest first: still there, and its attempts so far ("" for none).
    std::vector<std::pair<bool, std::string>> after;
};

// Kept by a process that ran before this one started.
void keepCrash(const std::string& directory, const std::string& id, int ageSeconds) {
    const std::string record = R"({"body":"Android NDK Crash","logLevel":"FATAL",)"
                               R"("logSource":"CrashDump","UserID":")" +
                               id + "\"}\n1700000000000\n";
    writeFileText(directory + "/" + id + ".rec", record);
    writeFileText(directory + "/" + id + ".dmp", "MDMP-" + id);
    const int64_t modified = pendingCrashes::processStartNs() - ageSeconds * kSecondNs;
    const timespec times[2] = {wallTime(modified - modified % kSecondNs),
                               wallTime(modified - modified % kSecondNs)};
    utimensat(AT_FDCWD, (directory + "/" + id + ".dmp").c_str(), times, 0);
}

void expectKeptDelivery(const KeptDeliveryRow& row) {
    SCOPED_TRACE(row.name);
    TempDir storage;
    std::filesystem::create_directories(projectDir(storage));
    const std::vector<std::string> ids = {"older", "newer"};
    keepCrash(projectDir(storage), "older", 90);
    keepCrash(projectDir(storage), "newer", 30);
    if (row.spoil) row.spoil(projectDir(storage) + "/older");
    // A file that blocks its reader would hold the sending thread for ever: a child, so that a
    // hang fails the row.
    const int status = qm_test::runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            ScriptedLibrary library(row.answer);
            if (library.init(kProject, storage.path(), false) != 0) return 2;
            // Settled once the session record was posted.
            EXPECT_TRUE(
                qm_test::waitUntil([&] { return sessionArrived(library.collector); }, kDeliveryMs));
            library.core.destory();
            std::vector<std::string> tried;
            for (const Json::Value& record :
                 qm_test::withField(library.collector.records(), "body", "Android NDK Crash")) {
                tried.push_back(record["UserID"].asString());
                // A record completed from the channel takes the dump's time.
                const int64_t dumpMs = (pendingCrashes::processStartNs() / kSecondNs - 90) * 1000;
                EXPECT_EQ(
                    record["UserID"].asString().empty() ? std::to_string(dumpMs) : "1700000000000",
                    record["sendTime"].asString());
                EXPECT_EQ(kProject, record["projectName"].asString());
                EXPECT_EQ(qm_test::decodeBase64(record["DmpData"].asString()).rfind("MDMP-", 0),
                          0u);
            }
            EXPECT_EQ(row.tried, tried);
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, status);
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
    // A record the library could not have written counts as none: the dump is sent with a
    // record made from the channel ("" for its UserID).
    const auto replaceRecord = [](const std::function<void(const std::string& record)>& make) {
        return [make](const std::string& base) {
            ::unlink((base + ".rec").c_str());
            make(base + ".rec");
        };
    };
    const KeptDeliveryRow rows[] = {
        {"accepted",
         ScriptedCollector::acceptAll(),
         nullptr,
         {"older", "newer"},
         {{false, ""}, {false, ""}}},
        {"refused", refusing("Android"), nullptr, {"older", "newer"}, {{true, "1"}, {true, "1"}}},
        {"no answer",
         ScriptedCollector::unreachable(),
         nullptr,
         {"older"},
         {{true, "1"}, {true, ""}}},
        {"empty record, as a power loss after the rename leaves it",
         ScriptedCollector::acceptAll(),
         replaceRecord([](const std::string& record) { writeFileText(record, ""); }),
         {"", "newer"},
         {{false, ""}, {false, ""}}},
        {"record far beyond the size the library writes",
         ScriptedCollector::acceptAll(),
         [](const std::string& base) {
             ASSERT_EQ(0, truncate((base + ".rec").c_str(), 256 * kMiB));
         },
         {"", "newer"},
         {{false, ""}, {false, ""}}},
        {"record is a FIFO",
         ScriptedCollector::acceptAll(),
         replaceRecord(
             [](const std::string& record) { ASSERT_EQ(0, mkfifo(record.c_str(), 0600)); }),
         {"", "newer"},
         {{false, ""}, {false, ""}}},
        {"record is a link to a file elsewhere",
         ScriptedCollector::acceptAll(),
         replaceRecord([](const std::string& record) {
             writeFileText(record + ".elsewhere", "{\"UserID\":\"planted\"}\n1\n");
             ASSERT_EQ(0, symlink((record + ".elsewhere").c_str(), record.c_str()));
         }),
         {"", "newer"},
         {{false, ""}, {false, ""}}},
        // A file of the app's choosing must not leave the device as a dump.
        {"dump is a link to a file outside the folder",
         ScriptedCollector::acceptAll(),
         [](const std::string& base) {
             const std::string outside =
                 std::filesystem::path(base).parent_path().parent_path().string() + "/outside.dmp";
             ASSERT_EQ(0, rename((base + ".dmp").c_str(), outside.c_str()));
             ASSERT_EQ(0, symlink(outside.c_str(), (base + ".dmp").c_str()));
         },
         {"newer"},
         {{false, ""}, {false, ""}}},
    };
    for (const KeptDeliveryRow& row : rows) expectKeptDelivery(row);
}

// Two processes of one app (its ":service" process) on one storage folder: each record the
// folder keeps, in its store or in either process's journal, and each kept crash reach the
// collector once, whichever process sends them; a store the other process holds makes a record
// wait, not go.
namespace {

// Runs the bodies in children forked at once, each released at the same moment; their exit codes.
std::vector<int> runAtOnce(const std::vector<std::function<int()>>& bodies) {
    const auto startAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    std::vector<std::function<int()>> released;
    for (const std::function<int()>& body : bodies) {
        released.push_back([&startAt, &body] {
            qm_platform::setLogToStderr(false);
            std::this_thread::sleep_until(startAt);
            return body();
        });
    }
    return qm_test::runInChildren(released, 3 * kDeliveryMs);
}

int initMain(const TempDir& storage, const std::string& address, uint16_t port,
             bool heldBack = false) {
    return QuillMarkInitialize(kProject, storage.path().c_str(), "1.0.0", address.c_str(), port,
                               nullptr, nullptr, true, heldBack, kUser);
}

std::vector<std::string> numbered(const std::string& prefix, size_t count) {
    std::vector<std::string> bodies;
    for (size_t i = 0; i < count; ++i) bodies.push_back(prefix + std::to_string(i));
    return bodies;
}

// Every expected body arrived exactly once; so did `sessions` session records.
void expectEachOnce(const std::vector<Json::Value>& records,
                    const std::vector<std::vector<std::string>>& expected, size_t sessions) {
    const std::vector<std::string> arrived = bodiesOf(records);
    size_t count = 0;
    for (const std::vector<std::string>& bodies : expected) {
        for (const std::string& body : bodies) {
            EXPECT_EQ(1, std::count(arrived.begin(), arrived.end(), body)) << body;
            ++count;
        }
    }
    EXPECT_EQ(sessions, qm_test::withField(records, "body", "CREATE SESSION").size());
    EXPECT_EQ(count + sessions, arrived.size());
}

}  // namespace

TEST(LocalStorage, ProcessesSharingTheFolderDeliverEachRecordOnce) {
    {
        SCOPED_TRACE("both start at once on stored records and a kept crash");
        TempDir storage;
        std::filesystem::create_directories(projectDir(storage));
        // Two batches of a re-send, each answered late: the starts overlap whatever their pace.
        std::vector<std::string> stored = numbered("stored-", 50);
        std::string content;
        for (std::string& body : stored) {
            body += std::string(LocalStore::kMaxBatchBytes / 40, '.');
            content += storedLine(body, "1") + "\n";
        }
        writeFileText(logFile(storage), content);
        keepCrash(projectDir(storage), "kept", 60);
        qm_test::CollectorOptions slow;
        slow.extraArgs = {"--delay-ms", "100"};
        qm_test::CollectorProcess collector(slow);
        const std::vector<std::string> own[2] = {numbered("first-", 10), numbered("second-", 10)};
        const size_t total = stored.size() + 1 + 2 * (own[0].size() + 1);
        std::vector<std::function<int()>> processes;
        for (const std::vector<std::string>& bodies : own) {
            processes.push_back([&] {
                if (initMain(storage, collector.address(), collector.port()) != 0) return 2;
                for (const std::string& body : bodies) {
                    EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_ERROR, body.c_str()));
                }
                // Whichever sends the store and the crash, both stay until it is done.
                EXPECT_TRUE(collector.waitForRecords(total, 2 * kDeliveryMs));
                QuillMarkDestroy();
                return 0;
            });
        }
        EXPECT_EQ((std::vector<int>{0, 0}), runAtOnce(processes));
        const std::vector<Json::Value> records = collector.records();
        std::vector<Json::Value> logs;
        std::copy_if(records.begin(), records.end(), std::back_inserter(logs),
                     [](const Json::Value& record) {
                         return record["body"].asString() != "Android NDK Crash";
                     });
        expectEachOnce(logs, {stored, own[0], own[1]}, 2);
        const std::vector<Json::Value> crashes =
            qm_test::withField(records, "body", "Android NDK Crash");
        EXPECT_EQ(1u, crashes.size());
        for (const Json::Value& crash : crashes) EXPECT_EQ("kept", crash["UserID"].asString());
        EXPECT_TRUE(qm_test::storedBodies(projectDir(storage)).empty());
        EXPECT_FALSE(exists(projectDir(storage) + "/kept.dmp"));
    }

    {
        SCOPED_TRACE(
            "both log while the collector refuses, then both are killed with records held");
        TempDir storage;
        qm_test::CollectorOptions refusing;
        // Refused in its answer: a re-send that meets it goes on, so the store ends whole in
        // "log.txt" (an unanswered one would stay in "log.resend", ahead of "log.txt").
        refusing.extraArgs = {"--fail-body", "refused-"};
        qm_test::CollectorProcess refusingCollector(refusing);
        const std::vector<std::string> refused[2] = {numbered("refused-a-", 100),
                                                     numbered("refused-b-", 100)};
        std::vector<std::function<int()>> loggers;
        for (const std::vector<std::string>& bodies : refused) {
            loggers.push_back([&] {
                if (initMain(storage, refusingCollector.address(), refusingCollector.port()) != 0)
                    return 2;
                for (const std::string& body : bodies) {
                    EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_ERROR, body.c_str()));
                }
                QuillMarkDestroy();  // stores what the collector refused
                return 0;
            });
        }
        EXPECT_EQ((std::vector<int>{0, 0}), runAtOnce(loggers));
        EXPECT_EQ(2 * refused[0].size(), qm_test::storedBodies(projectDir(storage)).size());

        // Held back and never sent: their records are only in the journals, one a process.
        const uint16_t nobody = qm_test::unusedLoopbackPort();
        const std::vector<std::string> held[2] = {numbered("held-a-", 100),
                                                  numbered("held-b-", 100)};
        std::vector<std::function<int()>> killed;
        for (const std::vector<std::string>& bodies : held) {
            killed.push_back([&] {
                if (initMain(storage, "http://127.0.0.1", nobody, true) != 0) return 2;
                for (const std::string& body : bodies) {
                    EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_ERROR, body.c_str()));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                raise(SIGKILL);
                return 3;
            });
        }
        EXPECT_EQ((std::vector<int>{128 + SIGKILL, 128 + SIGKILL}), runAtOnce(killed));
        EXPECT_TRUE(exists(projectDir(storage) + RecordJournal::fileName(1)));

        qm_test::CollectorProcess collector;
        const size_t total = 4 * held[0].size() + 3;
        EXPECT_EQ(0, runAtOnce({[&] {
                      if (initMain(storage, collector.address(), collector.port()) != 0) return 2;
                      EXPECT_TRUE(collector.waitForRecords(total, 2 * kDeliveryMs));
                      QuillMarkDestroy();
                      return 0;
                  }})[0]);
        expectEachOnce(collector.records(), {refused[0], refused[1], held[0], held[1]}, 3);
        EXPECT_TRUE(qm_test::storedBodies(projectDir(storage)).empty());
    }

    {
        SCOPED_TRACE("the other process holds the store through a pass");
        TempDir storage;
        std::filesystem::create_directories(projectDir(storage));
        int locked[2];
        int release[2];
        ASSERT_EQ(0, pipe(locked));
        ASSERT_EQ(0, pipe(release));
        const pid_t holder = fork();
        if (holder == 0) {
            const int fd =
                open((projectDir(storage) + "/log.lock").c_str(), O_RDWR | O_CREAT, 0600);
            const char ok = flock(fd, LOCK_EX) == 0 ? '1' : '0';
            char go = 0;
            if (write(locked[1], &ok, 1) != 1 || read(release[0], &go, 1) != 1) _exit(1);
            _exit(0);
        }
        char ok = 0;
        ASSERT_EQ(1, read(locked[0], &ok, 1));
        ASSERT_EQ('1', ok);
        CapturedLog log;
        ScriptedLibrary library(refusing("busy"));
        ASSERT_EQ(0, library.init(kProject, storage.path(), false));
        const auto busyLines = [&log] {
            const std::vector<std::string> lines = log.lines();
            return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                return line.find("busy in another process") != std::string::npos;
            });
        };
        ASSERT_TRUE(library.core.sendLog(VESK_LL_ERROR, "busy-0", kUser));
        // The set-up's claim of the store, then the pass's append gave up.
        EXPECT_TRUE(qm_test::waitUntil([&] { return busyLines() >= 2; }, kDeliveryMs));
        EXPECT_TRUE(qm_test::storedBodies(projectDir(storage)).empty());
        ASSERT_EQ(1, write(release[1], "g", 1));
        waitpid(holder, nullptr, 0);
        ASSERT_TRUE(library.core.sendLog(VESK_LL_ERROR, "busy-1", kUser));
        EXPECT_TRUE(qm_test::waitUntil(
            [&] { return qm_test::storedBodies(projectDir(storage)).size() == 2; }, kDeliveryMs));
        library.core.destory();
        const std::vector<Json::Value> lines = fileLines(logFile(storage));
        ASSERT_EQ(2u, lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ("busy-" + std::to_string(i), lines[i]["body"].asString());
            EXPECT_EQ("1", lines[i]["errorRate"].asString());  // counted once, though it waited
        }
        for (int fd : {locked[0], locked[1], release[0], release[1]}) close(fd);
    }

    {
        SCOPED_TRACE("no lock file can be had: the store works unguarded, and says so once");
        TempDir storage;
        std::filesystem::create_directories(projectDir(storage) + "/log.lock");
        writeFileText(logFile(storage), storedLine("stored-before", "1") + "\n");
        CapturedLog log;
        ScriptedLibrary library(refusing("odd"));
        ASSERT_EQ(0, library.init(kProject, storage.path(), false));
        ASSERT_TRUE(library.core.sendLog(VESK_LL_ERROR, "odd-0", kUser));
        EXPECT_TRUE(library.collector.waitForRecords(3, kDeliveryMs));
        library.core.destory();
        EXPECT_EQ(1u,
                  qm_test::withField(library.collector.records(), "body", "stored-before").size());
        EXPECT_EQ(std::vector<std::string>{"odd-0"}, qm_test::storedBodies(projectDir(storage)));
        const std::vector<std::string> lines = log.lines();
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                      return line.find("working without the lock") != std::string::npos;
                  }));
    }
}
