// The log core end to end, in-process on a state of its own whose exchanges a scripted
// collector answers: initialisation codes and channel registration, the records the collector
// receives, the queue bound with a held-back start, and concurrent application threads. Only
// what is about separate processes runs in children.
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
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/libraryState.h"
#include "core/vesk2.h"
#include "support/child_process.h"
#include "support/record_queries.h"
#include "support/scoped_variable.h"
#include "support/scripted_state.h"
#include "support/slow_build.h"
#include "support/temp_dir.h"
#include "transport/deviceIdentity.h"

namespace {

using qm_test::nowMs;
using qm_test::onlyRecord;
using qm_test::runInChild;
using qm_test::ScopedVariable;
using qm_test::ScriptedState;
using qm_test::TempDir;
using qm_test::withField;

constexpr int kChildTimeoutMs = 60000;
constexpr int kDeliveryMs = 8000;
const char* const kKey = "core-test";
const char* const kVersion = "3.1.4";
const char* const kSource = "core-source";
const char* const kType = "core-type";
const char* const kUser = VESK_CHANNEL_USER;
const char* const kCorvane = VESK_CHANNEL_CORVANE;

// A channel of the test project, initialised as an application does.
int initChannel(VESK2Log& core, const ScriptedState& library, const char* channel,
                const char* key = kKey, bool clientHost = true, bool asyncStart = false) {
    return core.initialize(key, library.storage.path().c_str(), kVersion, kSource, kType,
                           ScriptedState::kAddress, 80, clientHost, asyncStart, channel);
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
    const std::string time = qm_test::decodeBase64(id.substr(36) + "==");
    ASSERT_EQ(13u, time.size()) << id;
    ASSERT_TRUE(allDigits(time)) << id;
    const int64_t ms = std::stoll(time);
    EXPECT_GE(ms, fromMs);
    EXPECT_LE(ms, toMs);
}

// ---------------------------------------------------------------------------------------------
// Initialisation

TEST(CoreInitialize, RefusalsReturnTheirCodeAndRegisterNothing) {
    ScriptedState library;
    VESK2Log core(library.state);
    const char* const addr = "http://127.0.0.1";
    const struct {
        const char* key;
        const char* version;
        const char* address;
        int port;
        const char* channel;
        int expected;
    } rows[] = {
        // The key is checked before the version.
        {"", "", addr, 1, kUser, -2},
        {"-lead", kVersion, addr, 1, kUser, -2},
        {kKey, "", addr, 1, kUser, -3},
        {kKey, ".1", addr, 1, kUser, -3},
        {kKey, kVersion, nullptr, 1, kUser, -4},
        {kKey, kVersion, "", 1, kUser, -4},
        {kKey, kVersion, " \t ", 1, kUser, -4},
        // An address that is no http(s) URL could never be sent to.
        {kKey, kVersion, "collector.example.com", 1, kUser, -4},
        {kKey, kVersion, addr, 65536, kUser, -5},
        {kKey, kVersion, addr, 70000, kUser, -5},
        {kKey, kVersion, addr, -1, kUser, -5},
        {kKey, kVersion, addr, INT_MAX, kUser, -5},
        {kKey, kVersion, addr, INT_MIN, kUser, -5},
        {kKey, kVersion, addr, 1, nullptr, -1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.expected,
                  core.initialize(row.key, library.storage.path().c_str(), row.version, nullptr,
                                  nullptr, row.address, row.port, true, false, row.channel))
            << row.key << " " << row.version << " " << (row.address ? row.address : "(null)") << " "
            << row.port;
    }
    EXPECT_EQ(nullptr, core.getUserId(kUser));
    EXPECT_FALSE(core.sendLog(VESK_LL_INFO, "unregistered", kUser));
}

TEST(CoreInitialize, PortsZeroAndMaximumAreAcceptedAndANewChannelStartsAtInfo) {
    ScriptedState library;
    VESK2Log core(library.state);
    for (int port : {0, 65535}) {
        const std::string channel = "port-" + std::to_string(port);
        EXPECT_EQ(0,
                  core.initialize(kKey, library.storage.path().c_str(), kVersion, nullptr, nullptr,
                                  "http://127.0.0.1", port, true, true, channel.c_str()));
        Handler stored;
        EXPECT_TRUE(library.state.registry.snapshot(channel, stored)) << channel;
        EXPECT_EQ(port, stored.m_Port);
        EXPECT_EQ(VESK_LL_INFO, core.getLogLevel(channel.c_str()));
        EXPECT_STREQ("", core.getUserId(channel.c_str()));
    }
}

// Every channel but Corvane queues a session record; all share the state's one session ID, and
// Corvane's records carry an SDK version of their own.
TEST(CoreInitialize, ChannelsShareOneWellFormedSessionIdAndCorvaneGetsNoSession) {
    ScriptedState library;
    const int64_t before = nowMs();
    {
        VESK2Log core(library.state);
        ASSERT_EQ(0, initChannel(core, library, kCorvane, "corvane-project"));
        ASSERT_EQ(0, initChannel(core, library, kUser));
        ASSERT_EQ(0, initChannel(core, library, "second-channel", "second-project"));
        EXPECT_TRUE(core.sendLog(VESK_LL_WARN, "from corvane", kCorvane));
        EXPECT_TRUE(core.sendLog(VESK_LL_WARN, "from main", kUser));
        EXPECT_TRUE(library.collector.waitForRecords(4, kDeliveryMs));
    }
    const int64_t after = nowMs();
    const std::vector<Json::Value> sessions = library.withBody("CREATE SESSION");
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
    const Json::Value corvane = onlyRecord(library.collector.records(), "from corvane");
    EXPECT_EQ("ndk-corvaen-2.6.2", corvane["SdkVersion"].asString());
    EXPECT_EQ("corvane-project", corvane["projectName"].asString());
    EXPECT_EQ(id, corvane["SessionID"].asString());
    EXPECT_EQ("ndk-2.6.2",
              onlyRecord(library.collector.records(), "from main")["SdkVersion"].asString());
}

TEST(CoreInitialize, InitialisingTheMainChannelAgainKeepsItsRecordAndQueuesNoSession) {
    ScriptedState library;
    {
        VESK2Log core(library.state);
        ASSERT_EQ(0, initChannel(core, library, kUser));
        core.setUserId("first-user", kUser);
        ASSERT_TRUE(core.addGlobalField("team", "red", kUser));
        EXPECT_EQ(0, initChannel(core, library, kUser, "other-project", false));
        EXPECT_STREQ("first-user", core.getUserId(kUser));
        ASSERT_TRUE(core.sendLog(VESK_LL_INFO, "after again", kUser));
        EXPECT_TRUE(library.waitForBody("after again", kDeliveryMs));
    }
    EXPECT_EQ(1u, library.withBody("CREATE SESSION").size());
    const Json::Value record = onlyRecord(library.collector.records(), "after again");
    EXPECT_EQ("first-user", record["UserID"].asString());
    EXPECT_EQ("red", record["team"].asString());
    EXPECT_EQ(kKey, record["projectName"].asString());
    EXPECT_EQ(machineHostName(), record["host"].asString());  // the first clientHost stays
}

// ---------------------------------------------------------------------------------------------
// Records on the wire

TEST(CoreRecords, LogRecordsCarryTheChannelAndTheSendersFields) {
    ScriptedState library;
    const int64_t before = nowMs();
    {
        ScopedVariable model("ANDROID_PROP_ro_product_model", "Pixel Test");
        VESK2Log core(library.state);
        ASSERT_EQ(0, initChannel(core, library, kUser));
        core.setUserId("user-42", kUser);
        ASSERT_TRUE(core.addGlobalField(" build ", "nightly", kUser));
        EXPECT_TRUE(core.sendLog(VESK_LL_FATAL, "  fatal  text\t", kUser));
        EXPECT_TRUE(core.sendLog(VESK_LL_ERROR, "\terror text", kUser));
        EXPECT_TRUE(core.sendLog(VESK_LL_WARN, "warn text ", kUser));
        EXPECT_TRUE(core.sendLog(VESK_LL_INFO, "info text", kUser));
        // The session record and the four.
        EXPECT_TRUE(library.collector.waitForRecords(5, kDeliveryMs));
    }
    const int64_t after = nowMs();
    const std::vector<std::pair<std::string, std::string>> expected = {{"fatal  text", "FATAL"},
                                                                       {"error text", "ERROR"},
                                                                       {"warn text", "WARN"},
                                                                       {"info text", "INFO"}};
    for (const auto& [body, level] : expected) {
        SCOPED_TRACE(body);
        const Json::Value record = onlyRecord(library.collector.records(), body);
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
    {
        ScriptedState library;
        VESK2Log core(library.state);
        // Remembered for the Corvane channel, which is not registered yet.
        core.enableHost(false, kCorvane);
        ASSERT_EQ(0, initChannel(core, library, kUser));
        ASSERT_EQ(0, initChannel(core, library, kCorvane, "corvane-project"));
        core.sendLog(VESK_LL_INFO, "corvane host remembered off", kCorvane);
        core.sendLog(VESK_LL_INFO, "host on", kUser);
        // The host is filled in when the record is sent: let this one go first.
        ASSERT_TRUE(library.waitForBody("host on", kDeliveryMs));
        core.enableHost(false, kUser);
        core.sendLog(VESK_LL_INFO, "host off", kUser);
        ASSERT_TRUE(library.waitForBody("host off", kDeliveryMs));
        const std::vector<Json::Value> records = library.collector.records();
        EXPECT_EQ(machineHostName(), onlyRecord(records, "host on")["host"].asString());
        EXPECT_EQ("-", onlyRecord(records, "host off")["host"].asString());
        EXPECT_EQ("-", onlyRecord(records, "corvane host remembered off")["host"].asString());
    }
    ScriptedState library;
    ScopedVariable noModel("ANDROID_PROP_ro_product_model", nullptr);
    VESK2Log core(library.state);
    ASSERT_EQ(0, initChannel(core, library, kUser, kKey, false));
    core.sendLog(VESK_LL_INFO, "no client host", kUser);
    ASSERT_TRUE(library.waitForBody("no client host", kDeliveryMs));
    const Json::Value record = onlyRecord(library.collector.records(), "no client host");
    EXPECT_FALSE(record.isMember("host"));
    EXPECT_FALSE(record.isMember("DeviceModel"));
}

// A custom key may replace any field of a record it does not reserve, on its own channel only.
// The channel name records are routed by is one of the reserved: a record reported as queued
// must still be delivered.
TEST(CoreRecords, CustomKeysShapeLaterRecordsOfTheirOwnChannelOnly) {
    ScriptedState library;
    VESK2Log core(library.state);
    ASSERT_EQ(0, initChannel(core, library, kUser));
    ASSERT_EQ(0, initChannel(core, library, kCorvane, "corvane-project"));
    EXPECT_FALSE(core.addGlobalField("body", "spoofed body", kUser));  // the library sets it
    EXPECT_TRUE(core.addGlobalField("projectName", "renamed", kUser));
    EXPECT_TRUE(core.addGlobalField("shared", "main value", kUser));
    EXPECT_TRUE(core.addGlobalField("extra", "kept until cleared", kUser));
    EXPECT_FALSE(core.addGlobalField("empty-value", "", kUser));
    EXPECT_TRUE(core.addGlobalField("shared", "corvane value", kCorvane));
    core.sendLog(VESK_LL_INFO, "main one", kUser);
    core.sendLog(VESK_LL_INFO, "corvane one", kCorvane);
    core.delGlobalField("projectName", kUser);
    core.delGlobalField("shared", kCorvane);
    core.sendLog(VESK_LL_INFO, "main two", kUser);
    core.sendLog(VESK_LL_INFO, "corvane two", kCorvane);
    core.clearGlobalFields(kUser);
    core.sendLog(VESK_LL_INFO, "main three", kUser);
    core.addGlobalField("handlerName", "no-such-channel", kUser);
    const bool routedByKey = core.sendLog(VESK_LL_INFO, "routed by a custom key", kUser);
    core.delGlobalField("handlerName", kUser);
    ASSERT_TRUE(core.sendLog(VESK_LL_INFO, "routed normally", kUser));
    ASSERT_TRUE(library.waitForBody("routed normally", kDeliveryMs));
    ASSERT_TRUE(library.waitForBody("corvane two", kDeliveryMs));

    const std::vector<Json::Value> records = library.collector.records();
    const Json::Value mainOne = onlyRecord(records, "main one");
    EXPECT_EQ("renamed", mainOne["projectName"].asString());
    EXPECT_EQ("main value", mainOne["shared"].asString());
    EXPECT_EQ("kept until cleared", mainOne["extra"].asString());
    EXPECT_FALSE(mainOne.isMember("empty-value"));
    EXPECT_EQ("corvane value", onlyRecord(records, "corvane one")["shared"].asString());
    EXPECT_TRUE(withField(records, "body", "spoofed body").empty());

    const Json::Value mainTwo = onlyRecord(records, "main two");
    EXPECT_EQ(kKey, mainTwo["projectName"].asString());
    EXPECT_EQ("main value", mainTwo["shared"].asString());
    const Json::Value corvaneTwo = onlyRecord(records, "corvane two");
    EXPECT_FALSE(corvaneTwo.isMember("shared"));
    EXPECT_EQ("corvane-project", corvaneTwo["projectName"].asString());

    const Json::Value mainThree = onlyRecord(records, "main three");
    EXPECT_FALSE(mainThree.isMember("shared"));
    EXPECT_FALSE(mainThree.isMember("extra"));
    EXPECT_EQ(routedByKey ? 1u : 0u, withField(records, "body", "routed by a custom key").size());
}

// ---------------------------------------------------------------------------------------------
// Queue bound and held-back start

// Beyond the queue's 500 places (the session record holds the first), records go to the device
// and follow the queue's.
TEST(CoreQueue, HeldBackRecordsBeyondTheQueueGoToTheDeviceAndAllArriveInOrderAfterStart) {
    ScriptedState library;
    VESK2Log core(library.state);
    ASSERT_EQ(0, initChannel(core, library, kUser, kKey, true, true));
    for (int i = 0; i < 600; ++i) {
        char body[32];
        std::snprintf(body, sizeof body, "queued %03d", i);
        EXPECT_TRUE(core.sendLog(VESK_LL_INFO, body, kUser)) << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(library.collector.records().empty());
    core.startSendThread();
    ASSERT_TRUE(library.collector.waitForRecords(601, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // any stragglers
    const std::vector<Json::Value> records = library.collector.records();
    ASSERT_EQ(601u, records.size());
    EXPECT_EQ("CREATE SESSION", records[0]["body"].asString());
    for (size_t i = 1; i < records.size(); ++i) {
        char body[32];
        std::snprintf(body, sizeof body, "queued %03d", static_cast<int>(i - 1));
        EXPECT_EQ(body, records[i]["body"].asString());
    }
}

// Fills the held-back queue from four threads at once; returns how many records were accepted.
int fillFromFourThreads(VESK2Log& core, int round) {
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&core, &accepted, round, t] {
            for (int i = 0; i < 300; ++i) {
                const std::string body = "r" + std::to_string(round) + " t" + std::to_string(t) +
                                         " " + std::to_string(i);
                accepted += core.sendLog(VESK_LL_INFO, body.c_str(), kUser) ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    return accepted.load();
}

// Records that arrive while the worker is looking at the held-back queue count towards its
// bound as well, and those beyond it go to the device and arrive after the queue, once each.
// Each round holds sending back again by initialising one more channel, whose session record
// takes the first place in the queue.
TEST(CoreQueue, HeldBackRecordsBeyondTheQueueGoToTheDeviceWhenSeveralThreadsLog) {
    const int rounds = qm_test::countFor(6, 3);
    ScriptedState library;
    VESK2Log core(library.state);
    ASSERT_EQ(0, initChannel(core, library, kUser));
    size_t expected = 1;
    // The main channel's session record must be on its way before the first hold, or it would
    // take a place in the held-back queue.
    ASSERT_TRUE(library.collector.waitForRecords(expected, 20000));
    for (int round = 0; round < rounds; ++round) {
        const std::string name = "round" + std::to_string(round);
        ASSERT_EQ(0, initChannel(core, library, name.c_str(), name.c_str(), true, true));
        EXPECT_EQ(1200, fillFromFourThreads(core, round)) << "round " << round;
        core.startSendThread();
        expected += 1201;
        ASSERT_TRUE(library.collector.waitForRecords(expected, 20000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // any stragglers
    // Each once, and each thread's in the order it logged them.
    std::set<std::string> bodies;
    std::map<std::string, int> lastOfThread;
    for (const Json::Value& record : library.collector.records()) {
        const std::string body = record["body"].asString();
        if (body == "CREATE SESSION") continue;
        EXPECT_TRUE(bodies.insert(body).second) << body;
        const size_t serial = body.rfind(' ');
        auto last = lastOfThread.emplace(body.substr(0, serial), -1).first;
        EXPECT_LT(last->second, std::stoi(body.substr(serial + 1))) << body;
        last->second = std::stoi(body.substr(serial + 1));
    }
    EXPECT_EQ(1u + rounds * 1201u, library.collector.records().size());
    EXPECT_EQ(rounds * 1200u, bodies.size());
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
void stressThread(VESK2Log& core, Stress& stress, int index) {
    const std::string key = "key" + std::to_string(index % 3);
    for (int serial = 0; !stress.stop; ++serial) {
        const std::string body = "t" + std::to_string(index) + " n" + std::to_string(serial);
        const bool corvane = serial % 2 == 1;
        const bool sent = corvane ? core.sendLog(VESK_LL_WARN, body.c_str(), kCorvane)
                                  : core.sendLog(VESK_LL_INFO, body.c_str(), kUser);
        if (sent) stress.accepted[index].push_back(body);
        // Keeps the volume within what the sending thread delivers in reasonable time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string value = std::to_string(serial);
        switch (index) {
            case 0:
                core.setUserId(value.c_str(), kUser);
                EXPECT_EQ(value, std::string(core.getUserId(kUser)));
                break;
            case 1:
                core.setUserId(value.c_str(), kCorvane);
                EXPECT_EQ(value, std::string(core.getUserId(kCorvane)));
                break;
            case 2:
            case 3:
                core.addGlobalField(key.c_str(), value.c_str(), kUser);
                core.addGlobalField(key.c_str(), value.c_str(), kCorvane);
                if (serial % 5 == 0) core.delGlobalField(key.c_str(), kUser);
                if (serial % 7 == 0) core.clearGlobalFields(kCorvane);
                break;
            case 4:
                core.setLogLevel(serial % 2 ? VESK_LL_ERROR : VESK_LL_DEBUG, kUser);
                core.setLogLevel(VESK_LL_WARN, kCorvane);
                EXPECT_NE(VESK_LL_FATAL, core.getLogLevel(kUser));
                break;
            case 5:
                core.enableHost(serial % 2 == 0, kUser);
                core.enableHost(serial % 3 == 0, kCorvane);
                break;
            default:
                EXPECT_NE(nullptr, core.getUserId(kUser));
                EXPECT_NE(nullptr, core.getUserId(kCorvane));
                EXPECT_EQ(VESK_LL_WARN, core.getLogLevel(kCorvane));
                break;
        }
    }
}

TEST(CoreConcurrency, EightThreadsLoggingAndChangingChannelsLoseNoQueuedRecord) {
    ScriptedState library;
    std::vector<std::string> accepted;
    {
        VESK2Log core(library.state);
        ASSERT_EQ(0, initChannel(core, library, kUser));
        ASSERT_EQ(0, initChannel(core, library, kCorvane, "corvane-project"));
        core.setLogLevel(VESK_LL_WARN, kCorvane);
        Stress stress;
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back(stressThread, std::ref(core), std::ref(stress), i);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kStressMs));
        stress.stop = true;
        for (std::thread& thread : threads) thread.join();
        for (const auto& bodies : stress.accepted) {
            accepted.insert(accepted.end(), bodies.begin(), bodies.end());
        }
        // And the session record.
        library.collector.waitForRecords(accepted.size() + 1, 30000);
    }
    EXPECT_GT(accepted.size(), 100u);
    std::multiset<std::string> arrived;
    for (const Json::Value& record : library.collector.records()) {
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

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

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
    ScriptedState library;
    std::vector<long> expected;
    srand48(42);
    for (int i = 0; i < 8; ++i) expected.push_back(lrand48());
    srand48(42);
    std::vector<long> seen;
    seen.push_back(lrand48());
    {
        VESK2Log core(library.state);
        // Initialising makes the session ID, the sending thread's set-up the device ID.
        ASSERT_EQ(0, initChannel(core, library, kUser));
        // Set up (device ID made) once the session record is out; later records carry it.
        ASSERT_TRUE(library.collector.waitForRecords(1, kDeliveryMs));
        ASSERT_TRUE(core.sendLog(VESK_LL_INFO, "ids made", kUser));
        ASSERT_TRUE(library.waitForBody("ids made", kDeliveryMs));
    }
    while (seen.size() < expected.size()) seen.push_back(lrand48());
    EXPECT_EQ(expected, seen);
    EXPECT_FALSE(
        onlyRecord(library.collector.records(), "ids made")["DeviceID"].asString().empty());
}

}  // namespace
