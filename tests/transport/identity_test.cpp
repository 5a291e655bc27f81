// The device ID across starts: made once per project directory, read back by later starts,
// carried by every record the channel sends (those queued before its set-up too), and what odd
// "deviceID.db" files give. Each start is a library on a state of its own in this process, against
// one storage directory.
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
#include "support/child_process.h"
#include "support/file_text.h"
#include "support/record_queries.h"
#include "support/scripted_library.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "util/utilNetwork.h"

using qm_test::nowMs;
using qm_test::onlyRecord;
using qm_test::readFileText;
using qm_test::ScriptedLibrary;
using qm_test::TempDir;

namespace {

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

// One start: the main channel is set up by the pass that sends its session record; "probe" is
// logged after that, so it carries whatever device ID the set-up gave the channel. The records
// the collector received; the library's log lines go to logLines.
std::vector<Json::Value> startAndLog(ScriptedLibrary& library, const TempDir& storage,
                                     const std::string& probe,
                                     std::vector<std::string>* logLines = nullptr) {
    qm_platform::setLogToStderr(false);
    qm_platform::startLogCapture();
    const size_t before = library.collector.records().size();
    EXPECT_EQ(0, library.init(kProject, storage.path(), false));
    EXPECT_TRUE(library.collector.waitForRecords(before + 1, kDeliveryMs));
    EXPECT_TRUE(library.core.sendLog(VESK_LL_INFO, probe.c_str(), VESK_CHANNEL_USER));
    EXPECT_TRUE(qm_test::waitUntil(
        [&] { return !qm_test::withField(library.collector.records(), "body", probe).empty(); },
        kDeliveryMs));
    if (logLines != nullptr) *logLines = qm_platform::capturedLogLines();
    qm_platform::stopLogCapture();
    qm_platform::setLogToStderr(true);
    return library.collector.records();
}

bool logged(const std::vector<std::string>& lines, const std::string& line) {
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
    TempDir storage;
    const int64_t before = nowMs();
    std::vector<Json::Value> records;
    {
        ScriptedLibrary library;
        // "Corvane" first: the main channel's session record then starts the pass that sets
        // both up.
        ASSERT_EQ(0, library.init(kProject, storage.path(), false, VESK_CHANNEL_CORVANE));
        startAndLog(library, storage, "first start");
        ASSERT_TRUE(library.core.sendLog(VESK_LL_INFO, "corvane", VESK_CHANNEL_CORVANE));
        ASSERT_TRUE(library.collector.waitForRecords(3, kDeliveryMs));
        records = library.collector.records();
    }
    const int64_t after = nowMs();

    const std::string id = readFileText(idFile(storage));
    expectDeviceIdShape(id, before, after);
    EXPECT_EQ(id, onlyRecord(records, "first start")["DeviceID"].asString());
    EXPECT_EQ(id, onlyRecord(records, "corvane")["DeviceID"].asString());
    // Queued by initialise, before the sending thread made the ID: it carries it all the same.
    EXPECT_EQ(id, onlyRecord(records, "CREATE SESSION")["DeviceID"].asString());

    ScriptedLibrary second;
    records = startAndLog(second, storage, "second start");
    EXPECT_EQ(id, onlyRecord(records, "second start")["DeviceID"].asString());
    EXPECT_EQ(id, onlyRecord(records, "CREATE SESSION")["DeviceID"].asString());
    EXPECT_EQ(id, readFileText(idFile(storage)));
}

// The interface the host address came from names the network: "wlan" anywhere means Wifi. In a
// child, as the network model it sets is the process's.
TEST(NetworkModel, InterfaceChosenForTheHostTravelsWithEveryRecord) {
    char systemName[256] = {0};
    gethostname(systemName, sizeof systemName - 1);
    if (std::string(systemName) == "localhost") {
        GTEST_SKIP() << "the first pass would scan this machine's own interfaces";
    }
    TempDir storage;
    ASSERT_EQ(0, qm_test::runInChild(
                     [&] {
                         const std::string host = utilNetwork::resolveHostName("localhost", [] {
                             return std::vector<utilNetwork::InterfaceInfo>{
                                 {"rmnet0", 0x0A000001u, true}, {"my-wlan1", 0xC0A80114u, true}};
                         });
                         if (host != "192.168.1.20") return 1;
                         ScriptedLibrary library;
                         const Json::Value record =
                             onlyRecord(startAndLog(library, storage, "on wifi"), "on wifi");
                         EXPECT_EQ("my-wlan1", record["NetworkModel"].asString());
                         EXPECT_EQ("Wifi", record["NetworkType"].asString());
                         return 0;
                     },
                     30000));
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
    TempDir storage;
    makeProjectDir(storage);
    param.plant(idFile(storage));
    const std::string planted = readFileText(idFile(storage));

    std::vector<std::string> ids;
    for (int start = 0; start < 2; ++start) {
        const std::string probe = "start " + std::to_string(start);
        ScriptedLibrary library;
        std::vector<std::string> lines;
        const Json::Value record = onlyRecord(startAndLog(library, storage, probe, &lines), probe);
        if (param.logLine != nullptr) {
            EXPECT_TRUE(logged(lines, param.logLine)) << param.logLine;
        } else {
            EXPECT_FALSE(logged(lines, kReadFailed));
            EXPECT_FALSE(logged(lines, kWriteFailed));
        }
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
