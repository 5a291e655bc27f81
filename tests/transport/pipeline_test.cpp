// The whole road of a record, from sendLog to the collector, and what the collector's answer
// makes the library keep for a later attempt. The library runs in this process on a state of
// its own, a scripted collector behind its transport; only the end-to-end tables at the end
// fork the application: against a collector process, and behind a resolver that never answers.
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/scripted_library.h"
#include "support/temp_dir.h"
#include "transport/collectorAnswer.h"
#include "transport/httpSender.h"
#include "transport/localStore.h"
#include "util/jsonText.h"

using qm_test::bodiesOf;
using qm_test::ScriptedCollector;
using qm_test::ScriptedLibrary;
using qm_test::SeenRequest;
using qm_test::TempDir;

namespace {

const int kDeliveryMs = 10000;
const char* const kUser = VESK_CHANNEL_USER;

// The answer of a collector that takes every record except those whose body starts "FAIL".
CollectorAnswer refusingFail(const SeenRequest& request, const ExchangeDeadline& deadline) {
    std::vector<bool> taken;
    for (const Json::Value& record : request.records) {
        taken.push_back(record["body"].asString().rfind("FAIL", 0) != 0);
    }
    return ScriptedCollector::always(200, ScriptedCollector::answerFor(taken))(request, deadline);
}

// The posts the script saw, settings requests left out.
std::vector<SeenRequest> posts(const ScriptedCollector& collector) {
    std::vector<SeenRequest> found;
    for (const SeenRequest& request : collector.requests()) {
        if (!request.get) found.push_back(request);
    }
    return found;
}

}  // namespace

TEST(Pipeline, OnePassPostsOneJsonArrayOfItsRecords) {
    ScriptedLibrary library;
    TempDir storage;
    ASSERT_EQ(0, library.init("PipeApp", storage.path(), true));
    library.core.addGlobalField("build", "42", kUser);
    library.core.sendLog(VESK_LL_ERROR, "first \"quoted\"\nline", kUser);
    library.core.sendLog(VESK_LL_FATAL, "second", kUser);
    library.core.startSendThread();
    ASSERT_TRUE(library.collector.waitForRecords(3, kDeliveryMs));

    const std::vector<SeenRequest> requests = posts(library.collector);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("http://127.0.0.1:8088/v2/log", requests[0].url);
    const std::string& body = requests[0].body;
    // Each object is followed by its own line feed, then "," or the closing bracket.
    ASSERT_GE(body.size(), 4u);
    EXPECT_EQ('[', body.front());
    EXPECT_EQ("\n]", body.substr(body.size() - 2));
    size_t joints = 0;
    for (size_t at = body.find("}\n,{"); at != std::string::npos; at = body.find("}\n,{", at + 1))
        ++joints;
    EXPECT_EQ(2u, joints);

    const std::vector<Json::Value>& records = requests[0].records;
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
    EXPECT_TRUE(library.stored().empty());
}

// Records are gathered for the window from the first of a batch, then go in one request; a
// full batch (a quarter of the queue) goes at once, and a shutdown inside the window sends
// what was gathered instead of waiting for it.
TEST(Pipeline, RecordsAreGatheredForTheWindowUnlessTheBatchIsFullOrTheLibraryEnds) {
    struct Row {
        const char* name;
        int windowMs;
        int records;
        int spacingMs;
        bool destroyAtOnce;
        size_t leastPosts;
        size_t mostPosts;
        // The last record arrives within this many ms of the last call.
        int64_t withinMs;
    };
    const std::vector<Row> rows = {
        {"spaced records share one request per window", 400, 6, 40, false, 1, 1, 2000},
        // 60 ms apart, beyond the worker's lingering: each record is a pass of its own.
        {"no window: each pass goes at once", 0, 6, 60, false, 4, 6, 2000},
        {"a full batch does not wait for a long window", 60000, 125, 0, false, 1, 1, 5000},
        {"destroyed inside the window: nothing waits for it", 60000, 5, 0, true, 1, 1, 3000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLibrary library;
        TempDir storage;
        ASSERT_EQ(0, library.init("GatherApp", storage.path(), false));
        ASSERT_TRUE(library.collector.waitForRecords(1, kDeliveryMs));  // the session record
        library.state.settings.batchWindowMs = row.windowMs;
        const size_t postsBefore = posts(library.collector).size();
        for (int i = 0; i < row.records; ++i) {
            if (i > 0 && row.spacingMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(row.spacingMs));
            }
            const std::string body = "gathered " + std::to_string(i);
            ASSERT_TRUE(library.core.sendLog(VESK_LL_ERROR, body.c_str(), kUser));
        }
        const int64_t lastCall = qm_test::nowMs();
        if (row.destroyAtOnce) library.core.destory();
        ASSERT_TRUE(library.collector.waitForRecords(row.records + 1, kDeliveryMs));
        EXPECT_LE(qm_test::nowMs() - lastCall, row.withinMs);
        library.core.destory();
        const size_t postsMade = posts(library.collector).size() - postsBefore;
        EXPECT_GE(postsMade, row.leastPosts);
        EXPECT_LE(postsMade, row.mostPosts);
        EXPECT_EQ(static_cast<size_t>(row.records + 1), library.collector.records().size());
        EXPECT_TRUE(library.stored().empty());
    }
}

// Records share their channel's fields until they change: every record, queued before any
// is sent, must carry the user ID and custom fields of the moment it was logged.
TEST(Pipeline, EachRecordCarriesTheChannelFieldsOfTheMomentItWasLogged) {
    struct Row {
        const char* body;
        std::function<void(VESK2Log&)> changeBefore;
        const char* userId;  // "" when none
        const char* k;
        const char* other;
    };
    const std::vector<Row> rows = {
        {"plain", [](VESK2Log&) {}, "", "", ""},
        {"user and k",
         [](VESK2Log& core) {
             core.setUserId("u1", kUser);
             core.addGlobalField("k", "1", kUser);
         },
         "u1", "1", ""},
        {"k replaced, other added",
         [](VESK2Log& core) {
             core.addGlobalField("k", "2", kUser);
             core.addGlobalField("other", "x", kUser);
         },
         "u1", "2", "x"},
        {"k removed, user changed",
         [](VESK2Log& core) {
             core.delGlobalField("k", kUser);
             core.setUserId("u2", kUser);
         },
         "u2", "", "x"},
        {"all custom keys cleared", [](VESK2Log& core) { core.clearGlobalFields(kUser); }, "u2", "",
         ""},
    };
    ScriptedLibrary library;
    TempDir storage;
    // Held back: every record is queued before the first is sent.
    ASSERT_EQ(0, library.init("PipeApp", storage.path(), true));
    for (const Row& row : rows) {
        row.changeBefore(library.core);
        ASSERT_TRUE(library.core.sendLog(VESK_LL_INFO, row.body, kUser));
    }
    library.core.startSendThread();
    ASSERT_TRUE(library.collector.waitForRecords(rows.size() + 1, kDeliveryMs));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body);
        const Json::Value found = qm_test::onlyRecord(library.collector.records(), row.body);
        EXPECT_EQ(row.userId, found.get("UserID", "").asString());
        EXPECT_EQ(row.k, found.get("k", "").asString());
        EXPECT_EQ(row.other, found.get("other", "").asString());
    }
}

// What reaches the store is each record the answer did not take, exactly as it travelled, under
// its channel. Which answers take which records is the answer reader's table (answer_test) and
// the plain-HTTP reader's (plain_http_test); here only the road from the answer to the store.
TEST(Pipeline, RecordsTheCollectorDidNotTakeAreStoredAsTheyTravelled) {
    struct Row {
        const char* name;
        ScriptedCollector::Responder answer;
        std::vector<std::string> stored;
        bool storeThrowsOnce = false;
    };
    const std::vector<std::string> all = {"CREATE SESSION", "keep-1", "FAIL-2", "keep-3"};
    const std::vector<Row> rows = {
        {"all taken", ScriptedCollector::acceptAll(), {}},
        {"one refused", refusingFail, {"FAIL-2"}},
        {"nothing listens", ScriptedCollector::unreachable(), all},
        // Out of memory in the store, say: the sending thread lives on, and the batch is kept
        // like one never answered.
        {"storing throws once", refusingFail, {"FAIL-2"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLibrary library(row.answer);
        TempDir storage;
        ASSERT_EQ(0, library.init("PipeApp", storage.path(), true));
        if (row.storeThrowsOnce) {
            // The store copies its observer for each call: the flag is shared.
            auto thrown = std::make_shared<std::atomic<bool>>(false);
            library.state.store.setKeepObserver([thrown](const std::string&, const std::string&) {
                if (!thrown->exchange(true)) throw std::bad_alloc();
            });
        }
        for (const char* body : {"keep-1", "FAIL-2", "keep-3"}) {
            ASSERT_TRUE(library.core.sendLog(VESK_LL_WARN, body, kUser));
        }
        library.core.startSendThread();
        // A later pass still runs.
        if (row.storeThrowsOnce) {
            ASSERT_TRUE(qm_test::waitUntil(
                [&] { return bodiesOf(library.collector.records()).size() >= 4; }, 10000));
            ASSERT_TRUE(library.core.sendLog(VESK_LL_WARN, "after", kUser));
            EXPECT_TRUE(library.collector.waitForRecords(5, 10000));
        }
        library.core.destory();  // drains the queue and waits for the pass in flight
        EXPECT_EQ(row.stored, qm_test::storedBodies(storage.path() + "/quillmark/PipeApp"));
        const std::vector<qm_test::StoredRecord> stored = library.stored();
        if (!row.storeThrowsOnce) {
            EXPECT_EQ(row.stored, bodiesOf(stored));
        }
        for (const qm_test::StoredRecord& item : stored) {
            EXPECT_EQ(kUser, item.channel);
            EXPECT_EQ("v2", item.record["logVersion"].asString());
            EXPECT_FALSE(item.record.isMember("handlerName"));
        }
    }
}

TEST(Pipeline, EachProjectGetsItsOwnRequestInProjectOrder) {
    ScriptedLibrary library;
    TempDir storage;
    ASSERT_EQ(0, library.init("Zeta", storage.path(), true));
    ASSERT_EQ(0, library.init("Alpha", storage.path(), true, VESK_CHANNEL_CORVANE));
    library.core.sendLog(VESK_LL_INFO, "to zeta", kUser);
    library.core.sendLog(VESK_LL_INFO, "to alpha", VESK_CHANNEL_CORVANE);
    library.core.startSendThread();
    ASSERT_TRUE(library.collector.waitForRecords(3, kDeliveryMs));
    const std::vector<SeenRequest> requests = posts(library.collector);
    ASSERT_EQ(2u, requests.size());
    const std::vector<Json::Value>& first = requests[0].records;
    const std::vector<Json::Value>& second = requests[1].records;
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ("Alpha", first[0]["projectName"].asString());
    EXPECT_EQ("to alpha", first[0]["body"].asString());
    ASSERT_EQ(2u, second.size());
    EXPECT_EQ("Zeta", second[0]["projectName"].asString());
    // The index counts every record the pass took, across projects.
    const std::set<std::string> indexes = {first[0]["qmkBulkIndex"].asString(),
                                           second[0]["qmkBulkIndex"].asString(),
                                           second[1]["qmkBulkIndex"].asString()};
    EXPECT_EQ((std::set<std::string>{"0", "1", "2"}), indexes);
}

TEST(Pipeline, PassStopsTakingRecordsAfterTwoMebibytes) {
    ScriptedLibrary library;
    TempDir storage;
    ASSERT_EQ(0, library.init("PipeApp", storage.path(), true));
    const std::string big(700 * 1024, 'x');
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(library.core.sendLog(VESK_LL_INFO, (std::to_string(i) + big).c_str(), kUser));
    }
    library.core.startSendThread();
    ASSERT_TRUE(library.collector.waitForRecords(6, 2 * kDeliveryMs));
    const std::vector<SeenRequest> requests = posts(library.collector);
    ASSERT_EQ(2u, requests.size());
    // Session + three big records pass 2 MiB; the rest waits for the next pass.
    EXPECT_EQ(4u, requests[0].records.size());
    EXPECT_EQ(2u, requests[1].records.size());
    const std::vector<Json::Value> records = library.collector.records();
    ASSERT_EQ(6u, records.size());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(std::to_string(i), records[i + 1]["body"].asString().substr(0, 1));
    }
    EXPECT_EQ("0", records[4]["qmkBulkIndex"].asString());
}

// ---------------------------------------------------------------------------------------------
// The promise of a 1 from sendLog, against collectors that misbehave the way networks do: each
// record is accepted, stored, or counted by a log line of a cap.

namespace {

const int kThreads = 2;
const int kPerThread = 20;

// Sends kPerThread records from each of kThreads threads through `send`; the bodies it returned
// true for.
std::vector<std::string> sendFromThreads(const std::string& tag,
                                         const std::function<bool(const char*)>& send) {
    std::mutex mutex;
    std::vector<std::string> sent;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string body =
                    "acct-" + tag + "-" + std::to_string(t) + "-" + std::to_string(i);
                if (!send(body.c_str())) continue;
                std::lock_guard<std::mutex> lock(mutex);
                sent.push_back(body);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    return sent;
}

// How each answer shape decides per record is answer_test's table; these rows are the
// behaviours that add something over a whole run: what dies midway or answers for some only.
struct ScriptedBehaviour {
    const char* name;
    ScriptedCollector::Responder answer;
    // What the script saw counts as taken by the collector.
    bool accepts = false;
    // Gone (nothing listens) once the first half arrived.
    bool diesMidway = false;
    // The collector took records whose answer did not say so: at least once, not exactly once.
    bool mayRepeat = false;
};

void PrintTo(const ScriptedBehaviour& behaviour, std::ostream* out) { *out << behaviour.name; }

// A 200 answer cut inside its list, after the entries of the first half of the records.
CollectorAnswer halfAnswered(const SeenRequest& request, const ExchangeDeadline& deadline) {
    const std::string half =
        ScriptedCollector::answerFor(std::vector<bool>(request.records.size() / 2, true));
    CollectorAnswer answer =
        ScriptedCollector::always(200, half.substr(0, half.size() - 4))(request, deadline);
    answer.cut = true;
    return answer;
}

class EveryRecordAccountedFor : public ::testing::TestWithParam<ScriptedBehaviour> {};

}  // namespace

TEST_P(EveryRecordAccountedFor, AcceptedStoredOrDroppedWithALogLine) {
    const ScriptedBehaviour& param = GetParam();
    std::mutex mutex;
    std::vector<std::string> accepted;
    std::atomic<bool> gone{false};
    ScriptedLibrary library([&](const SeenRequest& request, const ExchangeDeadline& deadline) {
        if (gone) return CollectorAnswer();
        if (param.accepts) {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Json::Value& record : request.records) {
                accepted.push_back(record["body"].asString());
            }
        }
        return param.answer(request, deadline);
    });
    TempDir storage;
    qm_platform::setLogToStderr(false);
    qm_platform::startLogCapture();
    ASSERT_EQ(0, library.init("AcctApp", storage.path(), false));
    auto send = [&](const char* body) { return library.core.sendLog(VESK_LL_ERROR, body, kUser); };
    std::vector<std::string> sent = sendFromThreads("a", send);
    if (param.diesMidway) {
        library.collector.waitForRecords(kThreads * kPerThread + 1, kDeliveryMs);
        gone = true;
    }
    const std::vector<std::string> later = sendFromThreads("b", send);
    sent.insert(sent.end(), later.begin(), later.end());
    library.core.destory();
    const std::vector<std::string> logLines = qm_platform::capturedLogLines();
    qm_platform::stopLogCapture();
    qm_platform::setLogToStderr(true);

    EXPECT_FALSE(sent.empty());
    const qm_test::Accounting accounting = qm_test::account(
        sent, accepted, qm_test::storedBodies(storage.path() + "/quillmark/AcctApp"), logLines);
    qm_test::expectEveryRecordAccountedFor(accounting, !param.mayRepeat);
    EXPECT_EQ(0u, accounting.dropped);  // one failure each: no cap is reached
}

// How each answer is read is pinned where it is read (answer_test, plain_http_test); a
// trickling collector is a stalled one to the pass, its deadline pinned in plain_http_test.
INSTANTIATE_TEST_SUITE_P(
    ScriptedCollectors, EveryRecordAccountedFor,
    ::testing::Values(ScriptedBehaviour{"Healthy", ScriptedCollector::acceptAll(), true},
                      ScriptedBehaviour{"Down", ScriptedCollector::unreachable()},
                      ScriptedBehaviour{"Stalls", ScriptedCollector::stall()},
                      ScriptedBehaviour{"CutAnswer", halfAnswered, true, false, true},
                      ScriptedBehaviour{"AnswersThenDies", ScriptedCollector::acceptAll(), true,
                                        true, true}),
    [](const ::testing::TestParamInfo<ScriptedBehaviour>& info) { return info.param.name; });

// While the collector stalls or cannot be reached, sendLog keeps accepting: what the queue cannot
// hold goes to the device, and once the collector answers every accepted record arrives once, in
// the order it was logged, those a failed exchange stored included. Only the device bound refuses
// (counted in one log line), or send-only mode, which keeps the queue's bound.
TEST(Pipeline, NothingRefusedWhileTheCollectorStallsOrIsDown) {
    struct Row {
        const char* name;
        bool stalls;  // else unreachable
        bool sendOnly = false;
        // Bytes of records an earlier start stored, taking most of the device bound.
        uint64_t storedBefore = 0;
    };
    const Row rows[] = {
        {"stalls, then answers", true},
        {"down, then up", false},
        {"stalls with the device nearly full", true, false, LocalStore::kMaxStoreBytes - (1 << 19)},
        {"send-only keeps the queue's bound", true, true},
    };
    const int kLogged = 3000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir storage;
        const std::string directory = storage.path() + "/quillmark/StallApp";
        std::atomic<bool> released{false};
        std::mutex mutex;
        // An exchange begun while stalled ends unanswered, as its deadline would end it.
        std::vector<std::string> taken;
        ScriptedLibrary library([&](const SeenRequest& request, const ExchangeDeadline& deadline) {
            // The settings request fails at once: the records' exchanges are the ones that stall.
            if (request.get) return CollectorAnswer();
            const bool stalled = !released;
            while (row.stalls && !released && !deadline.passed()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (stalled) {
                CollectorAnswer none;
                none.connected = none.sent = row.stalls;
                return none;
            }
            std::lock_guard<std::mutex> lock(mutex);
            for (const Json::Value& record : request.records) {
                taken.push_back(record["body"].asString());
            }
            return ScriptedCollector::acceptAll()(request, deadline);
        });
        if (row.storedBefore > 0) {
            std::filesystem::create_directories(directory);
            std::ofstream out(directory + "/log.txt");
            const std::string pad(900, 'k');
            for (uint64_t bytes = 0, i = 0; bytes < row.storedBefore; ++i) {
                const std::string line = R"({"body":"kept )" + std::to_string(i) + pad +
                                         R"(","logType":"vesk2-log","errorRate":"1"})";
                out << line << '\n';
                bytes += line.size() + 1;
            }
        }
        qm_platform::setLogToStderr(false);
        qm_platform::startLogCapture();
        ASSERT_EQ(0, library.init("StallApp", row.sendOnly ? "" : storage.path(), false));
        std::vector<std::string> accepted;
        for (int i = 0; i < kLogged; ++i) {
            char body[32];
            std::snprintf(body, sizeof body, "stall %04d", i);
            if (library.core.sendLog(VESK_LL_ERROR, body, kUser)) accepted.push_back(body);
            if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const size_t refused = kLogged - accepted.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // A stalled exchange holds the sending thread: the queue fills and the rest spills. One
        // that fails at once leaves the queue room, its records stored behind the failed ones.
        // The spill thread writes within milliseconds on its own, longer on a loaded emulator.
        if (row.stalls && !row.sendOnly) {
            EXPECT_TRUE(qm_test::waitUntil(
                [&] { return std::filesystem::exists(directory + "/log.overflow"); }, kDeliveryMs));
        } else if (row.stalls) {
            EXPECT_FALSE(std::filesystem::exists(directory + "/log.overflow"));
        }
        released = true;
        const auto arrived = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            std::vector<std::string> ours;
            for (const std::string& body : taken) {
                if (body.rfind("stall ", 0) == 0) ours.push_back(body);
            }
            return ours;
        };
        // Send-only keeps nothing: the batch whose exchange failed is lost, as it always was.
        EXPECT_TRUE(qm_test::waitUntil(
            [&] {
                const std::vector<std::string> ours = arrived();
                return row.sendOnly ? !ours.empty() && ours.back() == accepted.back()
                                    : ours.size() >= accepted.size();
            },
            3 * kDeliveryMs));
        library.core.destory();
        const std::vector<std::string> logLines = qm_platform::capturedLogLines();
        qm_platform::stopLogCapture();
        qm_platform::setLogToStderr(true);
        const std::vector<std::string> ours = arrived();
        ASSERT_LE(ours.size(), accepted.size());
        EXPECT_EQ(std::vector<std::string>(accepted.end() - ours.size(), accepted.end()), ours);
        if (!row.sendOnly) {
            EXPECT_EQ(accepted.size(), ours.size());
        }
        // Every refusal is said: for the device bound in one line, and, on a machine too busy
        // for the spill thread to keep up with the bounded list, as records logged too fast.
        size_t boundLines = 0;
        size_t saidForBound = 0;
        size_t saidForSpeed = 0;
        for (const std::string& line : logLines) {
            const size_t at = line.find("refused ");
            if (at == std::string::npos) continue;
            const size_t count = std::strtoul(line.c_str() + at + 8, nullptr, 10);
            if (line.find("bytes reached") != std::string::npos) {
                ++boundLines;
                saidForBound += count;
            } else if (line.find("faster than the device") != std::string::npos) {
                saidForSpeed += count;
            }
        }
        if (row.sendOnly) {
            EXPECT_GT(refused, 0u);
            EXPECT_LE(accepted.size(), 2u * HttpSender::kMaxQueuedRecords);
            EXPECT_EQ(0u, saidForBound + saidForSpeed);
            continue;
        }
        EXPECT_EQ(refused, saidForBound + saidForSpeed);
        if (row.storedBefore > 0) {
            EXPECT_GT(saidForBound, 0u);
            EXPECT_EQ(1u, boundLines);
        } else {
            EXPECT_EQ(0u, saidForBound);
            // A failed exchange stored the first of them, and they went again in this run.
            EXPECT_FALSE(library.stored().empty());
            EXPECT_FALSE(std::filesystem::exists(directory + "/log.overflow"));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// End to end: the application in a process of its own (the C API and its process-wide state),
// a collector process on a real socket.

using qm_test::CollectorBehaviour;

namespace qm_test {
// gtest prints a parameter through PrintTo found beside its type.
void PrintTo(const CollectorBehaviour& behaviour, std::ostream* out) { *out << behaviour.name; }
}  // namespace qm_test

namespace {

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void writeLines(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path);
    for (const std::string& line : lines) out << line << "\n";
}

std::vector<CollectorBehaviour> endToEndBehaviours() {
    std::vector<CollectorBehaviour> rows;
    for (const CollectorBehaviour& behaviour : qm_test::collectorBehaviours()) {
        for (const char* name : {"Healthy", "Down", "Stalls"}) {
            if (std::string(name) == behaviour.name) rows.push_back(behaviour);
        }
    }
    return rows;
}

class EndToEnd : public ::testing::TestWithParam<CollectorBehaviour> {};

}  // namespace

TEST_P(EndToEnd, EveryRecordIsAcceptedOrStored) {
    const CollectorBehaviour& param = GetParam();
    qm_test::CollectorOptions options;
    options.mode = param.mode;
    options.extraArgs = param.extraArgs;
    qm_test::CollectorProcess collector(options);
    TempDir storage;
    const std::string address = collector.address();
    const uint16_t port = param.unreachable ? qm_test::unusedLoopbackPort() : collector.port();
    const std::string sentFile = storage.file("sent.txt");
    const std::string logFile = storage.file("log-lines.txt");
    ASSERT_EQ(0, qm_test::runInChild(
                     [&] {
                         qm_platform::setLogToStderr(false);
                         qm_platform::startLogCapture();
                         if (QuillMarkInitialize("AcctApp", storage.path().c_str(), "1.0.0",
                                                 address.c_str(), port, nullptr, nullptr, true,
                                                 false, kUser) != 0)
                             return 2;
                         writeLines(sentFile, sendFromThreads("a", [](const char* body) {
                                        return QuillMarkSendLog(QUILLMARK_ERROR, body) == 1;
                                    }));
                         QuillMarkDestroy();
                         writeLines(logFile, qm_platform::capturedLogLines());
                         return 0;
                     },
                     30000));
    const std::vector<std::string> sent = linesOf(sentFile);
    EXPECT_FALSE(sent.empty());
    const std::vector<std::string> accepted =
        param.accepts ? bodiesOf(collector.records()) : std::vector<std::string>();
    const qm_test::Accounting accounting = qm_test::account(
        sent, accepted, qm_test::storedBodies(storage.path() + "/quillmark/AcctApp"),
        linesOf(logFile));
    qm_test::expectEveryRecordAccountedFor(accounting, true);
    EXPECT_EQ(0u, accounting.dropped);
}

INSTANTIATE_TEST_SUITE_P(CollectorProcesses, EndToEnd, ::testing::ValuesIn(endToEndBehaviours()),
                         [](const ::testing::TestParamInfo<CollectorBehaviour>& info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------------------------
// A host-name collector behind a resolver that never answers, in a process of its own: the
// name lookups of the settings request and of the posts end with the shutdown's cut-off.

namespace {

// Gives this process a network and a /etc/resolv.conf of its own, whose one name server, on
// the loopback, takes queries and never answers: a network that drops DNS. The silent server
// is left open until the process ends. Returns what failed, or nothing.
std::string isolateBehindSilentResolver(const std::string& resolvConf) {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return "unshare";
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "private /";
    if (::mount(resolvConf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        return "bind resolv.conf";
    }
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::snprintf(loopback.ifr_name, sizeof loopback.ifr_name, "lo");
    if (control < 0 || ::ioctl(control, SIOCGIFFLAGS, &loopback) != 0) return "lo flags";
    loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
    if (::ioctl(control, SIOCSIFFLAGS, &loopback) != 0) return "lo up";
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(control, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        return "bind port 53";
    }
    return "";
}

}  // namespace

TEST(EndToEndNameLookup, ResolverThatNeverAnswersHoldsDestroyOnlyUntilTheCutOff) {
    if (std::getenv("QM_UNDER_QEMU") != nullptr) {
        GTEST_SKIP()
            << "runs under qemu-user: the bound on destroy's time is the native build's to check";
    }
    if (::geteuid() != 0) GTEST_SKIP() << "a network namespace of its own needs root";
    struct Row {
        const char* name;
        const char* resolverOptions;  // a line of resolv.conf
    };
    // The system resolver alone would take 2 x 5 s, and 2 x 15 s, before it gave up.
    const std::vector<Row> rows = {
        {"default resolver options", ""},
        {"timeout:15 attempts:2", "options timeout:15 attempts:2\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir storage;
        const std::string resolvConf = storage.file("resolv.conf");
        std::ofstream(resolvConf) << "nameserver 127.0.0.1\n" << row.resolverOptions;
        const std::string elapsedFile = storage.file("destroy-ms.txt");
        const int code = qm_test::runInChild(
            [&] {
                // A container or chroot may refuse any step of it: the row cannot be set up there.
                const std::string failed = isolateBehindSilentResolver(resolvConf);
                if (!failed.empty()) {
                    std::ofstream(storage.file("isolation.txt")) << failed;
                    return 3;
                }
                qm_platform::setLogToStderr(false);
                if (QuillMarkInitialize("LookupApp", storage.path().c_str(), "1.0.0",
                                        "http://collector.quillmark.test", 80, nullptr, nullptr,
                                        true, false, kUser) != 0) {
                    return 2;
                }
                if (QuillMarkSendLog(QUILLMARK_ERROR, "kept while the resolver hangs") != 1) {
                    return 5;
                }
                // The sending thread is inside its first lookup by now.
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                const auto start = std::chrono::steady_clock::now();
                QuillMarkDestroy();
                std::ofstream(elapsedFile) << std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - start)
                                                  .count();
                return 0;
            },
            60000);
        if (code == 3) {
            GTEST_SKIP() << "no network namespace with its own resolver can be made here ("
                         << qm_test::readFileText(storage.file("isolation.txt")) << " failed)";
        }
        ASSERT_EQ(0, code);
        long elapsedMs = -1;
        std::ifstream(elapsedFile) >> elapsedMs;
        EXPECT_GE(elapsedMs, 0);
        EXPECT_LT(elapsedMs, 3500);
        // The session's opening record and the app's one: nothing was sent, nothing lost.
        EXPECT_EQ(qm_test::storedBodies(storage.path() + "/quillmark/LookupApp"),
                  (std::vector<std::string>{"CREATE SESSION", "kept while the resolver hangs"}));
    }
}
