// The log core end to end: initialisation codes and channel registration, the records the
// collector receives, the queue bound with a held-back start, and concurrent application
// threads. Each scenario runs in a child (the library's state is process-wide); the parent
// judges what the collector received.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
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
#include "support/record_queries.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "support/test_project.h"
#include "transport/deviceIdentity.h"

namespace {

using plume::quillmark::PlumeLog;
using qm_test::CollectorProcess;
using qm_test::decodeBase64;
using qm_test::nowMs;
using qm_test::onlyRecord;
using qm_test::runInChild;
using qm_test::TempDir;
using qm_test::waitForBody;
using qm_test::withBody;
using qm_test::withField;

constexpr int kChildTimeoutMs = 60000;
constexpr int kDeliveryMs = 8000;
const char* const kKey = "core-test";
const char* const kVersion = "3.1.4";
const char* const kSource = "core-source";
const char* const kType = "core-type";

using Clock = std::chrono::steady_clock;

const qm_test::TestProject kProject{kKey, kVersion, kSource, kType};

// The core behind the facade, with the library's log lines kept off the test's output.
VESK2Log* quietCore() {
    qm_platform::setLogToStderr(false);
    GetPlumeLog();
    return currentPlumeLog()->core();
}

std::string machineHostName() {
    char name[256] = {0};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

bool allAlnum(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

bool allDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// 35 letters and digits in the shape 8-4-4-16, "-", and the Base64 of the creation time in
// milliseconds without its "==".
void expectSessionIdShape(const std::string& id, int64_t fromMs, int64_t toMs) {
    ASSERT_EQ(54u, id.size()) << id;
    for (size_t dash : {8u, 13u, 18u, 35u}) EXPECT_EQ('-', id[dash]) << id;
    for (const auto& part :
         {id.substr(0, 8), id.substr(9, 4), id.substr(14, 4), id.substr(19, 16)}) {
        EXPECT_TRUE(allAlnum(part)) << id;
    }
    const std::string time = decodeBase64(id.substr(36) + "==");
    ASSERT_EQ(13u, time.size()) << id;
    ASSERT_TRUE(allDigits(time)) << id;
    const int64_t ms = std::stoll(time);
    EXPECT_GE(ms, fromMs);
    EXPECT_LE(ms, toMs);
}

// ---------------------------------------------------------------------------------------------
// Initialisation

TEST(CoreInitialize, RefusalsReturnTheirCodeAndRegisterNothing) {
    TempDir dir;
    const int code = runInChild(
        [&] {
            VESK2Log* core = quietCore();
            const char* root = dir.path().c_str();
            const char* user = "quillmark-user";
            const char* addr = "http://127.0.0.1";
            // The key is checked before the version.
            EXPECT_EQ(-2,
                      core->initialize("", root, "", nullptr, nullptr, addr, 1, true, false, user));
            EXPECT_EQ(-2, core->initialize("-lead", root, kVersion, nullptr, nullptr, addr, 1, true,
                                           false, user));
            EXPECT_EQ(
                -3, core->initialize(kKey, root, "", nullptr, nullptr, addr, 1, true, false, user));
            EXPECT_EQ(-3, core->initialize(kKey, root, ".1", nullptr, nullptr, addr, 1, true, false,
                                           user));
            for (const char* address : {static_cast<const char*>(nullptr), "", " \t "}) {
                EXPECT_EQ(-4, core->initialize(kKey, root, kVersion, nullptr, nullptr, address, 1,
                                               true, false, user));
            }
            for (int port : {65536, 70000, -1, INT_MAX, INT_MIN}) {
                EXPECT_EQ(-5, core->initialize(kKey, root, kVersion, nullptr, nullptr, addr, port,
                                               true, false, user))
                    << "port " << port;
            }
            EXPECT_EQ(-1, core->initialize(kKey, root, kVersion, nullptr, nullptr, addr, 1, true,
                                           false, nullptr));
            // An address that is no http(s) URL could never be sent to.
            EXPECT_EQ(-4, core->initialize(kKey, root, kVersion, nullptr, nullptr,
                                           "collector.example.com", 1, true, false, user));
            EXPECT_EQ(nullptr, core->getUserId(user));
            EXPECT_FALSE(core->sendLog(VESK_LL_INFO, "unregistered", user));
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

TEST(CoreInitialize, PortsZeroAndMaximumAreAcceptedAndANewChannelStartsAtInfo) {
    TempDir dir;
    const int code = runInChild(
        [&] {
            VESK2Log* core = quietCore();
            const char* root = dir.path().c_str();
            for (int port : {0, 65535}) {
                const std::string channel = "port-" + std::to_string(port);
                EXPECT_EQ(
                    0, core->initialize(kKey, root, kVersion, nullptr, nullptr, "http://127.0.0.1",
                                        port, true, true, channel.c_str()));
                Handler stored;
                EXPECT_TRUE(LibraryState::process().registry.snapshot(channel, stored)) << channel;
                EXPECT_EQ(port, stored.m_Port);
                EXPECT_EQ(VESK_LL_INFO, core->getLogLevel(channel.c_str()));
                EXPECT_STREQ("", core->getUserId(channel.c_str()));
            }
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

TEST(CoreInitialize, TwoChannelsShareOneWellFormedSessionId) {
    CollectorProcess collector;
    TempDir dir;
    const int64_t before = nowMs();
    const int code = runInChild(
        [&] {
            if (kProject.initMain(collector, dir) != 0) return 1;
            if (kProject.initChannel(collector, dir, "second-channel", "second-project") != 0)
                return 2;
            return collector.waitForRecords(2, kDeliveryMs) ? 0 : 3;
        },
        kChildTimeoutMs);
    const int64_t after = nowMs();
    EXPECT_EQ(0, code);
    const std::vector<Json::Value> sessions = withBody(collector, "CREATE SESSION");
    ASSERT_EQ(2u, sessions.size());
    EXPECT_EQ(1u, withField(sessions, "projectName", kKey).size());
    EXPECT_EQ(1u, withField(sessions, "projectName", "second-project").size());
    const std::string id = sessions[0]["SessionID"].asString();
    EXPECT_EQ(id, sessions[1]["SessionID"].asString());
    expectSessionIdShape(id, before, after);
    for (const Json::Value& session : sessions) {
        EXPECT_EQ("INFO", session["logLevel"].asString());
        EXPECT_EQ("SESSION", session["logType"].asString());
        EXPECT_EQ("ndk-2.6.2", session["SdkVersion"].asString());
    }
}

TEST(CoreInitialize, InitialisingTheMainChannelAgainKeepsItsRecordAndQueuesNoSession) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            if (kProject.initMain(collector, dir) != 0) return 1;
            QuillMarkSetUserId("first-user");
            if (QuillMarkAddCustomKey("team", "red") != 1) return 2;
            EXPECT_EQ(0, kProject.initMain(collector, dir, false, false, "other-project"));
            EXPECT_STREQ("first-user", QuillMarkGetUserId());
            if (QuillMarkSendLog(QUILLMARK_INFO, "after again") != 1) return 3;
            return waitForBody(collector, "after again", kDeliveryMs) ? 0 : 4;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    EXPECT_EQ(1u, withBody(collector, "CREATE SESSION").size());
    const Json::Value record = onlyRecord(collector, "after again");
    EXPECT_EQ("first-user", record["UserID"].asString());
    EXPECT_EQ("red", record["team"].asString());
    EXPECT_EQ(kKey, record["projectName"].asString());
    EXPECT_EQ(machineHostName(), record["host"].asString());  // the first clientHost stays
}

TEST(CoreInitialize, CorvaneGetsNoSessionAndItsOwnSdkVersion) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            if (kProject.initChannel(collector, dir, "Corvane", "corvane-project") != 0) return 1;
            if (kProject.initMain(collector, dir) != 0) return 2;
            if (!GetPlumeLog()->sendLog_Corvane(QUILLMARK_WARN, "from corvane")) return 3;
            if (QuillMarkSendLog(QUILLMARK_WARN, "from main") != 1) return 4;
            return waitForBody(collector, "from corvane", kDeliveryMs) &&
                           waitForBody(collector, "from main", kDeliveryMs)
                       ? 0
                       : 5;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    const std::vector<Json::Value> sessions = withBody(collector, "CREATE SESSION");
    ASSERT_EQ(1u, sessions.size());
    EXPECT_EQ(kKey, sessions[0]["projectName"].asString());
    const Json::Value corvane = onlyRecord(collector, "from corvane");
    EXPECT_EQ("ndk-corvaen-2.6.2", corvane["SdkVersion"].asString());
    EXPECT_EQ("corvane-project", corvane["projectName"].asString());
    EXPECT_EQ("ndk-2.6.2", onlyRecord(collector, "from main")["SdkVersion"].asString());
    EXPECT_EQ(sessions[0]["SessionID"], corvane["SessionID"]);
}

// ---------------------------------------------------------------------------------------------
// Records on the wire

TEST(CoreRecords, LogRecordsCarryTheChannelAndTheSendersFields) {
    qm_test::ScriptedCollector collector;
    LibraryState state(collector.factory());
    TempDir dir;
    const int64_t before = nowMs();
    ::setenv("ANDROID_PROP_ro_product_model", "Pixel Test", 1);
    {
        qm_platform::setLogToStderr(false);
        VESK2Log core(state);
        ASSERT_EQ(0, core.initialize(kKey, dir.path().c_str(), kVersion, kSource, kType,
                                     "http://collector.test", 80, true, false, VESK_CHANNEL_USER));
        core.setUserId("user-42", VESK_CHANNEL_USER);
        ASSERT_TRUE(core.addGlobalField(" build ", "nightly", VESK_CHANNEL_USER));
        EXPECT_TRUE(core.sendLog(VESK_LL_FATAL, "  fatal  text\t", VESK_CHANNEL_USER));
        EXPECT_TRUE(core.sendLog(VESK_LL_ERROR, "\terror text", VESK_CHANNEL_USER));
        EXPECT_TRUE(core.sendLog(VESK_LL_WARN, "warn text ", VESK_CHANNEL_USER));
        EXPECT_TRUE(core.sendLog(VESK_LL_INFO, "info text", VESK_CHANNEL_USER));
        // The session record and the four.
        EXPECT_TRUE(collector.waitForRecords(5, kDeliveryMs));
    }
    qm_platform::setLogToStderr(true);
    ::unsetenv("ANDROID_PROP_ro_product_model");
    const int64_t after = nowMs();
    const std::vector<std::pair<std::string, std::string>> expected = {{"fatal  text", "FATAL"},
                                                                       {"error text", "ERROR"},
                                                                       {"warn text", "WARN"},
                                                                       {"info text", "INFO"}};
    for (const auto& [body, level] : expected) {
        SCOPED_TRACE(body);
        const Json::Value record = onlyRecord(collector.records(), body);
        EXPECT_EQ(level, record["logLevel"].asString());
        const std::string sendTime = record["sendTime"].asString();
        ASSERT_EQ(13u, sendTime.size());
        ASSERT_TRUE(allDigits(sendTime));
        EXPECT_GE(std::stoll(sendTime), before);
        EXPECT_LE(std::stoll(sendTime), after);
        EXPECT_EQ("user-42", record["UserID"].asString());
        EXPECT_EQ("nightly", record["build"].asString());
        EXPECT_EQ("Pixel Test", record["DeviceModel"].asString());
        EXPECT_FALSE(record.isMember("handlerName"));
        EXPECT_EQ("v2", record["logVersion"].asString());
        const std::string network = record["NetworkModel"].asString();
        EXPECT_FALSE(network.empty());
        EXPECT_EQ(network.find("wlan") != std::string::npos ? "Wifi" : "Cellular",
                  record["NetworkType"].asString());
        EXPECT_EQ("Android(NDK)", record["Platform"].asString());
        EXPECT_EQ(machineHostName(), record["host"].asString());
        EXPECT_EQ(kKey, record["projectName"].asString());
        EXPECT_EQ(kVersion, record["projectVersion"].asString());
        EXPECT_EQ(kSource, record["logSource"].asString());
        EXPECT_EQ(kType, record["logType"].asString());
        EXPECT_EQ("ndk-2.6.2", record["SdkVersion"].asString());
        EXPECT_EQ(54u, record["SessionID"].asString().size());
    }
}

TEST(CoreRecords, HostFollowsTheSwitchAndIsAbsentWithoutClientHost) {
    CollectorProcess collector;
    TempDir dir;
    int code = runInChild(
        [&] {
            // Remembered for the Corvane channel, which is not registered yet.
            GetPlumeLog()->enableHost_Corvane(false);
            if (kProject.initMain(collector, dir) != 0) return 1;
            if (kProject.initChannel(collector, dir, "Corvane", "corvane-project") != 0) return 2;
            GetPlumeLog()->sendLog_Corvane(QUILLMARK_INFO, "corvane host remembered off");
            QuillMarkSendLog(QUILLMARK_INFO, "host on");
            // The host is filled in when the record is sent: let this one go first.
            if (!waitForBody(collector, "host on", kDeliveryMs)) return 3;
            QuillMarkEnableHost(false);
            QuillMarkSendLog(QUILLMARK_INFO, "host off");
            return waitForBody(collector, "host off", kDeliveryMs) ? 0 : 4;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    EXPECT_EQ(machineHostName(), onlyRecord(collector, "host on")["host"].asString());
    EXPECT_EQ("-", onlyRecord(collector, "host off")["host"].asString());
    EXPECT_EQ("-", onlyRecord(collector, "corvane host remembered off")["host"].asString());

    code = runInChild(
        [&] {
            ::unsetenv("ANDROID_PROP_ro_product_model");
            if (kProject.initMain(collector, dir, false) != 0) return 1;
            QuillMarkSendLog(QUILLMARK_INFO, "no client host");
            return waitForBody(collector, "no client host", kDeliveryMs) ? 0 : 2;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    const Json::Value record = onlyRecord(collector, "no client host");
    EXPECT_FALSE(record.isMember("host"));
    EXPECT_FALSE(record.isMember("DeviceModel"));
}

TEST(CoreRecords, CustomKeysShapeLaterRecordsOfTheirOwnChannelOnly) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            if (kProject.initMain(collector, dir) != 0) return 1;
            if (kProject.initChannel(collector, dir, "Corvane", "corvane-project") != 0) return 2;
            PlumeLog* log = GetPlumeLog();
            EXPECT_EQ(0, QuillMarkAddCustomKey("body", "spoofed body"));  // the library sets it
            EXPECT_EQ(1, QuillMarkAddCustomKey("projectName", "renamed"));
            EXPECT_EQ(1, QuillMarkAddCustomKey("shared", "main value"));
            EXPECT_EQ(1, QuillMarkAddCustomKey("extra", "kept until cleared"));
            EXPECT_EQ(0, QuillMarkAddCustomKey("empty-value", ""));
            EXPECT_TRUE(log->addCustomKey_Corvane("shared", "corvane value"));
            QuillMarkSendLog(QUILLMARK_INFO, "main one");
            log->sendLog_Corvane(QUILLMARK_INFO, "corvane one");
            QuillMarkRemoveCustomKey("projectName");
            log->removeCustomKey_Corvane("shared");
            QuillMarkSendLog(QUILLMARK_INFO, "main two");
            log->sendLog_Corvane(QUILLMARK_INFO, "corvane two");
            QuillMarkClearCustomKeys();
            QuillMarkSendLog(QUILLMARK_INFO, "main three");
            return waitForBody(collector, "main three", kDeliveryMs) &&
                           waitForBody(collector, "corvane two", kDeliveryMs)
                       ? 0
                       : 3;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    const Json::Value mainOne = onlyRecord(collector, "main one");
    EXPECT_EQ("renamed", mainOne["projectName"].asString());
    EXPECT_EQ("main value", mainOne["shared"].asString());
    EXPECT_EQ("kept until cleared", mainOne["extra"].asString());
    EXPECT_FALSE(mainOne.isMember("empty-value"));
    EXPECT_EQ("corvane value", onlyRecord(collector, "corvane one")["shared"].asString());
    EXPECT_TRUE(withBody(collector, "spoofed body").empty());

    const Json::Value mainTwo = onlyRecord(collector, "main two");
    EXPECT_EQ(kKey, mainTwo["projectName"].asString());
    EXPECT_EQ("main value", mainTwo["shared"].asString());
    const Json::Value corvaneTwo = onlyRecord(collector, "corvane two");
    EXPECT_FALSE(corvaneTwo.isMember("shared"));
    EXPECT_EQ("corvane-project", corvaneTwo["projectName"].asString());

    const Json::Value mainThree = onlyRecord(collector, "main three");
    EXPECT_FALSE(mainThree.isMember("shared"));
    EXPECT_FALSE(mainThree.isMember("extra"));
}

// A custom key may replace any field of a record, the channel name it is routed by included;
// a record reported as queued must still be delivered.
TEST(CoreRecords, CustomKeyNamedLikeTheRoutingFieldDoesNotLoseRecords) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            if (kProject.initMain(collector, dir) != 0) return 1;
            QuillMarkAddCustomKey("handlerName", "no-such-channel");
            const int32_t sent = QuillMarkSendLog(QUILLMARK_INFO, "routed by a custom key");
            QuillMarkRemoveCustomKey("handlerName");
            if (QuillMarkSendLog(QUILLMARK_INFO, "routed normally") != 1) return 2;
            if (!waitForBody(collector, "routed normally", kDeliveryMs)) return 3;
            return sent == 1 ? 10 : 11;
        },
        kChildTimeoutMs);
    ASSERT_TRUE(code == 10 || code == 11) << code;
    if (code == 10) {
        EXPECT_EQ(1u, withBody(collector, "routed by a custom key").size());
    }
}

// ---------------------------------------------------------------------------------------------
// Queue bound and held-back start

TEST(CoreQueue, HeldBackRecordsFillTheQueueToItsBoundAndAllArriveInOrderAfterStart) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            if (kProject.initMain(collector, dir, true, true) != 0) return 1;
            // The session record holds the first of the 500 places.
            std::vector<int32_t> results;
            for (int i = 0; i < 600; ++i) {
                char body[32];
                std::snprintf(body, sizeof body, "queued %03d", i);
                results.push_back(QuillMarkSendLog(QUILLMARK_INFO, body));
            }
            const auto firstRefused = std::find(results.begin(), results.end(), 0);
            EXPECT_EQ(499, firstRefused - results.begin());
            EXPECT_EQ(499, std::count(results.begin(), results.end(), 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            EXPECT_TRUE(collector.records().empty());
            QuillMarkStartSendThread();
            if (!collector.waitForRecords(500, 20000)) return 2;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // any stragglers
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    const std::vector<Json::Value> records = collector.records();
    ASSERT_EQ(500u, records.size());
    EXPECT_EQ("CREATE SESSION", records[0]["body"].asString());
    for (size_t i = 1; i < records.size(); ++i) {
        char body[32];
        std::snprintf(body, sizeof body, "queued %03d", static_cast<int>(i - 1));
        EXPECT_EQ(body, records[i]["body"].asString());
    }
}

// Fills the held-back queue from four threads at once; returns how many records were accepted.
int fillFromFourThreads(int round) {
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&accepted, round, t] {
            for (int i = 0; i < 300; ++i) {
                const std::string body = "r" + std::to_string(round) + " t" + std::to_string(t) +
                                         " " + std::to_string(i);
                accepted += QuillMarkSendLog(QUILLMARK_INFO, body.c_str());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    return accepted.load();
}

// Records that arrive while the worker is looking at the held-back queue count towards the
// bound as well. Each round holds sending back again by initialising one more channel, whose
// session record takes the first place in the queue.
TEST(CoreQueue, HeldBackQueueKeepsItsBoundWhenSeveralThreadsLog) {
    CollectorProcess collector;
    TempDir dir;
    constexpr int kRounds = 6;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            if (kProject.initMain(collector, dir) != 0) return 1;
            size_t expected = 1;
            // The main channel's session record must be on its way before the first hold,
            // or it would take a place in the held-back queue.
            if (!collector.waitForRecords(expected, 20000)) return 4;
            for (int round = 0; round < kRounds; ++round) {
                const std::string name = "round" + std::to_string(round);
                if (kProject.initChannel(collector, dir, name.c_str(), name.c_str(), true) != 0) {
                    return 2;
                }
                EXPECT_EQ(499, fillFromFourThreads(round)) << "round " << round;
                QuillMarkStartSendThread();
                expected += 500;
                if (!collector.waitForRecords(expected, 20000)) return 3;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // any stragglers
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    EXPECT_EQ(1u + kRounds * 500u, collector.records().size());
}

// ---------------------------------------------------------------------------------------------
// Concurrent application threads

constexpr int kThreads = 8;
constexpr int kStressMs = 1000;

struct Stress {
    std::atomic<bool> stop{false};
    std::vector<std::vector<std::string>> accepted =
        std::vector<std::vector<std::string>>(kThreads);
};

// Each thread logs on both channels and changes channel state in its own way. Only threads 0
// and 1 set a user ID, each on its own channel, and only they read the text back: a user-ID
// text stays valid until that channel's next change.
void stressThread(Stress& stress, int index) {
    PlumeLog* log = GetPlumeLog();
    const std::string key = "key" + std::to_string(index % 3);
    for (int serial = 0; !stress.stop; ++serial) {
        const std::string body = "t" + std::to_string(index) + " n" + std::to_string(serial);
        const bool corvane = serial % 2 == 1;
        const bool sent = corvane ? log->sendLog_Corvane(QUILLMARK_WARN, body.c_str())
                                  : QuillMarkSendLog(QUILLMARK_INFO, body.c_str()) == 1;
        if (sent) stress.accepted[index].push_back(body);
        // Keeps the volume within what the collector records in reasonable time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string value = std::to_string(serial);
        switch (index) {
            case 0:
                QuillMarkSetUserId(value.c_str());
                EXPECT_EQ(value, std::string(QuillMarkGetUserId()));
                break;
            case 1:
                log->setUserId_Corvane(value.c_str());
                EXPECT_EQ(value, std::string(log->getUserId_Corvane()));
                break;
            case 2:
            case 3:
                QuillMarkAddCustomKey(key.c_str(), value.c_str());
                log->addCustomKey_Corvane(key.c_str(), value.c_str());
                if (serial % 5 == 0) QuillMarkRemoveCustomKey(key.c_str());
                if (serial % 7 == 0) log->clearCustomKeys_Corvane();
                break;
            case 4:
                QuillMarkSetLogLevel(serial % 2 ? QUILLMARK_ERROR : QUILLMARK_DEBUG);
                log->setLogLevel_Corvane(QUILLMARK_WARN);
                EXPECT_NE(QUILLMARK_FATAL, QuillMarkGetLogLevel());
                break;
            case 5:
                QuillMarkEnableHost(serial % 2 == 0);
                log->enableHost_Corvane(serial % 3 == 0);
                break;
            default:
                EXPECT_NE(nullptr, QuillMarkGetUserId());
                EXPECT_NE(nullptr, log->getUserId_Corvane());
                EXPECT_EQ(QUILLMARK_WARN, log->getLogLevel_Corvane());
                break;
        }
    }
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

TEST(CoreConcurrency, EightThreadsLoggingAndChangingChannelsLoseNoQueuedRecord) {
    CollectorProcess collector;
    TempDir dir;
    const std::string acceptedFile = dir.file("accepted.txt");
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            if (kProject.initMain(collector, dir) != 0) return 1;
            if (kProject.initChannel(collector, dir, "Corvane", "corvane-project") != 0) return 2;
            GetPlumeLog()->setLogLevel_Corvane(QUILLMARK_WARN);
            Stress stress;
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i)
                threads.emplace_back(stressThread, std::ref(stress), i);
            std::this_thread::sleep_for(std::chrono::milliseconds(kStressMs));
            stress.stop = true;
            for (std::thread& thread : threads) thread.join();
            std::ofstream out(acceptedFile);
            size_t total = 0;
            for (const auto& bodies : stress.accepted) {
                for (const std::string& body : bodies) out << body << '\n';
                total += bodies.size();
            }
            out.close();
            collector.waitForRecords(total + 1, 30000);  // and the session record
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    const std::vector<std::string> accepted = readLines(acceptedFile);
    EXPECT_GT(accepted.size(), 100u);
    std::multiset<std::string> arrived;
    for (const Json::Value& record : collector.records()) {
        if (record["logType"].asString() != "SESSION") arrived.insert(record["body"].asString());
    }
    const std::set<std::string> queued(accepted.begin(), accepted.end());
    EXPECT_EQ(accepted.size(), queued.size());
    size_t missing = 0;
    for (const std::string& body : queued) missing += arrived.count(body) == 1 ? 0 : 1;
    EXPECT_EQ(0u, missing) << "of " << queued.size() << " queued records";
    // Nothing that was refused arrived either.
    EXPECT_EQ(queued.size(), arrived.size());
}

// ---------------------------------------------------------------------------------------------
// Identifiers: drawn from the kernel, never from the application's lrand48 generator

struct IdsOfOneProcess {
    long long second = 0;
    std::string sessionRandom;
    std::string deviceRandom;
};

// Starts two processes at once, early in a wall-clock second, each making a session ID and a
// device ID; true when both started in the same second (the case that used to collide).
bool idsOfTwoProcessesInOneSecond(IdsOfOneProcess (&ids)[2]) {
    TempDir dir;
    const int64_t now = nowMs();
    if (now % 1000 > 700) std::this_thread::sleep_for(std::chrono::milliseconds(1010 - now % 1000));
    int codes[2] = {-1, -1};
    std::thread starters[2];
    for (int i = 0; i < 2; ++i) {
        starters[i] = std::thread([&, i] {
            codes[i] = runInChild(
                [&] {
                    const long long second = static_cast<long long>(time(nullptr));
                    const std::string session = LibraryState::process().sessionId();
                    const std::string device = makeDeviceId();
                    std::ofstream(dir.file("ids" + std::to_string(i)))
                        << second << '\n'
                        << session.substr(0, 35) << '\n'
                        << device.substr(0, 18) << '\n';
                    return 0;
                },
                kChildTimeoutMs);
        });
    }
    for (std::thread& starter : starters) starter.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, codes[i]);
        const std::vector<std::string> lines = readLines(dir.file("ids" + std::to_string(i)));
        if (lines.size() != 3u) return false;
        ids[i] = {std::stoll(lines[0]), lines[1], lines[2]};
    }
    return ids[0].second == ids[1].second;
}

TEST(CoreIdentifiers, TwoProcessesStartedInTheSameSecondDrawDifferentIds) {
    IdsOfOneProcess ids[2];
    bool sameSecond = false;
    for (int attempt = 0; attempt < 3 && !sameSecond; ++attempt) {
        sameSecond = idsOfTwoProcessesInOneSecond(ids);
    }
    ASSERT_TRUE(sameSecond);
    EXPECT_EQ(35u, ids[0].sessionRandom.size());
    EXPECT_EQ(18u, ids[0].deviceRandom.size());
    EXPECT_NE(ids[0].sessionRandom, ids[1].sessionRandom);
    EXPECT_NE(ids[0].deviceRandom, ids[1].deviceRandom);
}

TEST(CoreIdentifiers, TheApplicationsLrand48SequenceIsUntouchedByTheLibrary) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            std::vector<long> expected;
            srand48(42);
            for (int i = 0; i < 8; ++i) expected.push_back(lrand48());
            srand48(42);
            std::vector<long> seen;
            seen.push_back(lrand48());
            // Initialising makes the session ID, the sending thread's set-up the device ID.
            if (kProject.initMain(collector, dir) != 0) return 1;
            // Set up (device ID made) once the session record is out; later records carry it.
            if (!collector.waitForRecords(1, kDeliveryMs)) return 4;
            if (QuillMarkSendLog(QUILLMARK_INFO, "ids made") != 1) return 2;
            if (!waitForBody(collector, "ids made", kDeliveryMs)) return 3;
            while (seen.size() < expected.size()) seen.push_back(lrand48());
            EXPECT_EQ(expected, seen);
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    EXPECT_FALSE(onlyRecord(collector, "ids made")["DeviceID"].asString().empty());
}

}  // namespace
