// The device ID across process restarts: made once per project directory, read back by later
// starts, carried by records built after the channel's set-up, and what odd "deviceID.db"
// files give. Each start is a child process against one storage directory.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/record_queries.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "support/test_project.h"
#include "util/utilNetwork.h"

using qm_test::CollectorProcess;
using qm_test::nowMs;
using qm_test::onlyRecord;
using qm_test::readFileText;
using qm_test::TempDir;

namespace {

const int kChildTimeoutMs = 30000;
const int kDeliveryMs = 10000;
const char kProject[] = "IdApp";
const char kReadFailed[] = "[setHandler] deviceId read failed";
const char kWriteFailed[] = "[setHandler] getDeviceID write Failed";

std::string projectDir(const TempDir& storage) { return storage.path() + "/quillmark/" + kProject; }

std::string idFile(const TempDir& storage) { return projectDir(storage) + "/deviceID.db"; }

void makeProjectDir(const TempDir& storage) {
    ASSERT_EQ(0, mkdir((storage.path() + "/quillmark").c_str(), 0770));
    ASSERT_EQ(0, mkdir(projectDir(storage).c_str(), 0770));
}

const qm_test::TestProject kIdProject{kProject, "1.0", nullptr, nullptr};

// One start: the main channel is set up by the pass that sends its session record; "probe" is
// logged after that, so it carries whatever device ID the set-up gave the channel.
int startAndLog(const CollectorProcess& collector, const TempDir& storage,
                const std::string& probe) {
    qm_platform::setLogToStderr(false);
    qm_platform::startLogCapture();
    // Earlier starts sent session records to the same collector.
    const size_t sessionsBefore = qm_test::withBody(collector, "CREATE SESSION").size();
    if (kIdProject.initChannel(collector, storage, "quillmark-user") != 0) return 2;
    const bool setUp = qm_test::waitUntil(
        [&] { return qm_test::withBody(collector, "CREATE SESSION").size() > sessionsBefore; },
        kDeliveryMs);
    if (!setUp) return 3;
    if (QuillMarkSendLog(QUILLMARK_INFO, probe.c_str()) != 1) return 4;
    return qm_test::waitForBody(collector, probe, kDeliveryMs) ? 0 : 5;
}

bool loggedInChild(const std::string& line) {
    const std::vector<std::string> lines = qm_platform::capturedLogLines();
    return std::find(lines.begin(), lines.end(), "W/NDK: " + line) != lines.end();
}

bool isAlnum(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// 8-4-4 letters and digits, then "-" and the Base64 of the creation time in milliseconds
// without its padding.
void expectDeviceIdShape(const std::string& id, int64_t fromMs, int64_t toMs) {
    ASSERT_EQ(37u, id.size()) << id;
    for (size_t dash : {8u, 13u, 18u}) EXPECT_EQ('-', id[dash]) << id;
    for (const std::string& part : {id.substr(0, 8), id.substr(9, 4), id.substr(14, 4)}) {
        EXPECT_TRUE(isAlnum(part)) << id;
    }
    const std::string created = qm_test::decodeBase64(id.substr(19));
    ASSERT_EQ(13u, created.size()) << id;
    const int64_t createdMs = std::stoll(created);
    EXPECT_LE(fromMs, createdMs);
    EXPECT_GE(toMs, createdMs);
}

}  // namespace

TEST(DeviceId, MadeOnceThenReadBackAndSharedByTheChannelsOfAProject) {
    CollectorProcess collector;
    TempDir storage;
    const int64_t before = nowMs();
    ASSERT_EQ(0, qm_test::runInChild(
                     [&] {
                         // "Corvane" first: the main channel's session record then starts the
                         // pass that sets both up.
                         if (kIdProject.initChannel(collector, storage, "Corvane") != 0) return 1;
                         if (startAndLog(collector, storage, "first start") != 0) return 2;
                         if (!GetPlumeLog()->sendLog_Corvane(QUILLMARK_INFO, "corvane")) return 3;
                         return qm_test::waitForBody(collector, "corvane", kDeliveryMs) ? 0 : 4;
                     },
                     kChildTimeoutMs));
    const int64_t after = nowMs();

    const std::string id = readFileText(idFile(storage));
    expectDeviceIdShape(id, before, after);
    EXPECT_EQ(id, onlyRecord(collector, "first start")["DeviceID"].asString());
    EXPECT_EQ(id, onlyRecord(collector, "corvane")["DeviceID"].asString());

    ASSERT_EQ(0,
              qm_test::runInChild([&] { return startAndLog(collector, storage, "second start"); },
                                  kChildTimeoutMs));
    EXPECT_EQ(id, onlyRecord(collector, "second start")["DeviceID"].asString());
    EXPECT_EQ(id, readFileText(idFile(storage)));
}

// The interface the host address came from names the network: "wlan" anywhere means Wifi.
TEST(NetworkModel, InterfaceChosenForTheHostTravelsWithEveryRecord) {
    char systemName[256] = {0};
    gethostname(systemName, sizeof systemName - 1);
    if (std::string(systemName) == "localhost") {
        GTEST_SKIP() << "the first pass would scan this machine's own interfaces";
    }
    CollectorProcess collector;
    TempDir storage;
    ASSERT_EQ(0, qm_test::runInChild(
                     [&] {
                         const std::string host = utilNetwork::resolveHostName("localhost", [] {
                             return std::vector<utilNetwork::InterfaceInfo>{
                                 {"rmnet0", 0x0A000001u, true}, {"my-wlan1", 0xC0A80114u, true}};
                         });
                         if (host != "192.168.1.20") return 1;
                         return startAndLog(collector, storage, "on wifi");
                     },
                     kChildTimeoutMs));
    const Json::Value record = onlyRecord(collector, "on wifi");
    EXPECT_EQ("my-wlan1", record["NetworkModel"].asString());
    EXPECT_EQ("Wifi", record["NetworkType"].asString());
}

struct OddFileCase {
    const char* name;
    // Creates what lies at the ID file's path before the start.
    void (*plant)(const std::string& path);
    // The failure line logged at each start; null: neither failure line.
    const char* logLine;
    // The ID the records carry; null: a freshly made one.
    const char* expectedId;
};

void PrintTo(const OddFileCase& param, std::ostream* out) { *out << param.name; }

class OddDeviceIdFile : public ::testing::TestWithParam<OddFileCase> {};

TEST_P(OddDeviceIdFile, GivesTheSpecifiedIdAndLogLine) {
    const OddFileCase& param = GetParam();
    CollectorProcess collector;
    TempDir storage;
    makeProjectDir(storage);
    param.plant(idFile(storage));
    const std::string planted = readFileText(idFile(storage));

    std::vector<std::string> ids;
    for (int start = 0; start < 2; ++start) {
        const std::string probe = "start " + std::to_string(start);
        ASSERT_EQ(0, qm_test::runInChild(
                         [&] {
                             if (startAndLog(collector, storage, probe) != 0) return 2;
                             if (param.logLine != nullptr) {
                                 EXPECT_TRUE(loggedInChild(param.logLine)) << param.logLine;
                             } else {
                                 EXPECT_FALSE(loggedInChild(kReadFailed));
                                 EXPECT_FALSE(loggedInChild(kWriteFailed));
                             }
                             return 0;
                         },
                         kChildTimeoutMs));
        const Json::Value record = onlyRecord(collector, probe);
        ids.push_back(record["DeviceID"].asString());
        if (param.expectedId != nullptr && *param.expectedId == '\0') {
            // Empty fields are left out of a record.
            EXPECT_FALSE(record.isMember("DeviceID"));
        }
    }
    if (param.expectedId != nullptr) {
        EXPECT_EQ(param.expectedId, ids[0]);
        EXPECT_EQ(param.expectedId, ids[1]);
    } else {
        // Nothing could be kept: each start makes an ID of its own.
        EXPECT_EQ(37u, ids[0].size());
        EXPECT_EQ(37u, ids[1].size());
        EXPECT_NE(ids[0], ids[1]);
    }
    EXPECT_EQ(planted, readFileText(idFile(storage)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, OddDeviceIdFile,
    ::testing::Values(
        OddFileCase{"Empty", [](const std::string& path) { std::ofstream create(path); },
                    kReadFailed, ""},
        OddFileCase{"WithLineEnd",
                    [](const std::string& path) { std::ofstream(path) << "kept-as-is\n"; }, nullptr,
                    "kept-as-is\n"},
        OddFileCase{"DirectoryInItsPlace",
                    [](const std::string& path) { ASSERT_EQ(0, mkdir(path.c_str(), 0770)); },
                    kWriteFailed, nullptr}),
    [](const ::testing::TestParamInfo<OddFileCase>& info) { return info.param.name; });
