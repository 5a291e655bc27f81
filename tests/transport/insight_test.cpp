// Network insights end to end: a loopback settings service names URLs of loopback servers, the
// first main channel's set-up starts the measuring thread, and the channel's collector receives
// one record per measured URL. Each scenario runs in a child process (process-wide registry).
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/quillmark_impl.h"
#include "core/libraryState.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "transport/httpSender.h"
#include "transport/remoteSettings.h"
#include "util/jsonText.h"

using qm_test::CollectorOptions;
using qm_test::CollectorProcess;
using qm_test::runInChild;
using qm_test::TempDir;

namespace {

const int kChildTimeoutMs = 90000;
const char* const kProject = "NetApp";
const std::string kInsightType = "\xEF\xBB\xBFNETWORKINSIGHTS";

std::string base(const CollectorProcess& server) {
    return "http://127.0.0.1:" + std::to_string(server.port());
}

std::string settingsAnswer(bool enabled, const std::vector<std::string>& urls) {
    Json::Value answer;
    answer["status"] = 200;
    for (const char* section : {"log", "crash", "session"})
        answer["result"][section]["enable"] = true;
    answer["result"]["networkinsights"]["enable"] = enabled;
    answer["result"]["networkinsights"]["urls"] = Json::Value(Json::arrayValue);
    for (const std::string& url : urls) answer["result"]["networkinsights"]["urls"].append(url);
    return jsonText::writeCompact(answer);
}

// A settings service whose answer is written before each scenario.
struct Service {
    TempDir dir;
    std::string answerFile = dir.file("answer.json");
    std::unique_ptr<CollectorProcess> process;

    Service() {
        std::ofstream(answerFile) << "{}";
        CollectorOptions options;
        options.extraArgs = {"--settings-file", answerFile};
        process = std::make_unique<CollectorProcess>(options);
    }
    void answer(bool enabled, const std::vector<std::string>& urls) const {
        std::ofstream(answerFile, std::ios::trunc) << settingsAnswer(enabled, urls);
    }
    // The fast URL: the service itself answers it with 200.
    std::string fastUrl() const { return base(*process) + "/v2/" + kProject + "/logsconf"; }
    size_t settingsRequests() const {
        size_t count = 0;
        for (const Json::Value& request : process->requests()) {
            const std::string path = request["path"].asString();
            count += path.size() > 9 && path.substr(path.size() - 9) == "/logsconf";
        }
        return count;
    }
    // Points the library at this service; call in the child.
    void use() const {
        RemoteSettings::Endpoints endpoints;
        endpoints.url = process->address();
        endpoints.port = process->port();
        endpoints.altUrl = process->address();
        endpoints.altPort = process->port();
        LibraryState::process().settings.setSettingsEndpoints(endpoints);
    }
};

std::vector<Json::Value> insightRecords(const CollectorProcess& collector) {
    return qm_test::withField(collector.records(), "logType", kInsightType);
}

bool waitForInsights(const CollectorProcess& collector, size_t count, int timeoutMs) {
    return qm_test::waitUntil([&] { return insightRecords(collector).size() >= count; }, timeoutMs);
}

int initChannel(const char* channel, const char* project, const CollectorProcess& collector,
                const TempDir& storage, bool clientHost = false) {
    return QuillMarkInitialize(project, storage.path().c_str(), "2.0.1",
                               collector.address().c_str(), collector.port(), "insight-test",
                               nullptr, clientHost, false, channel);
}

// In the child: the main channel starts against the service, then `count` insight records
// must reach the collector within timeoutMs. 0 when they did.
int mainChannelReports(const Service& service, const CollectorProcess& collector,
                       const TempDir& storage, size_t count, int timeoutMs) {
    service.use();
    if (initChannel("quillmark-user", kProject, collector, storage) != 0) return 2;
    return waitForInsights(collector, count, timeoutMs) ? 0 : 3;
}

HttpSender* sender() { return currentPlumeLog()->core()->sender(); }

std::vector<std::string> getPaths(const CollectorProcess& server) {
    std::vector<std::string> paths;
    for (const Json::Value& request : server.requests()) {
        if (request["method"].asString() == "GET") paths.push_back(request["path"].asString());
    }
    return paths;
}

// CPU time and context switches of one thread, from /proc.
struct TaskCost {
    long long cpuTicks = 0;
    long long switches = 0;
    bool operator==(const TaskCost& other) const {
        return cpuTicks == other.cpuTicks && switches == other.switches;
    }
};

TaskCost taskCost(const std::string& tid) {
    TaskCost cost;
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) cost.cpuTicks += std::stoll(field);  // utime, stime
    }
    std::ifstream status("/proc/self/task/" + tid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
            line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
            cost.switches += std::stoll(line.substr(line.find(':') + 1));
        }
    }
    return cost;
}

std::set<std::string> taskIds() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(entry.path().filename().string());
    }
    return ids;
}

std::map<std::string, TaskCost> costsOf(const std::set<std::string>& ids) {
    std::map<std::string, TaskCost> costs;
    for (const std::string& id : ids) costs[id] = taskCost(id);
    return costs;
}

const std::set<std::string> kInsightKeys = {
    "body",     "projectName", "projectVersion", "logVersion", "logSource",
    "DeviceID", "logLevel",    "SessionID",      "SdkVersion", "NIVersion",
    "Url",      "Latency",     "Status",         "Platform",   "logType"};

std::set<std::string> keysOf(const Json::Value& record) {
    const Json::Value::Members members = record.getMemberNames();
    return std::set<std::string>(members.begin(), members.end());
}

}  // namespace

TEST(NetworkInsights, EveryUrlIsMeasuredAndReportedOnceThenTheThreadIdles) {
    Service service;
    TempDir storage;
    CollectorProcess collector;
    CollectorOptions slowOptions;
    const int delayMs = 400;
    slowOptions.extraArgs = {"--delay-ms", std::to_string(delayMs)};
    CollectorProcess slow(slowOptions);
    const std::string deadPort = std::to_string(qm_test::unusedLoopbackPort());
    service.answer(true, {service.fastUrl(), base(slow) + "/slow", base(collector) + "/missing",
                          "http://127.0.0.1:" + deadPort + "/", base(collector) + "//deep/path/"});

    ASSERT_EQ(0, runInChild(
                     [&] {
                         unsetenv("ANDROID_PROP_ro_product_model");
                         service.use();
                         // A sanitizer's own helper thread starts with the first thread
                         // made; it must count as "before".
                         std::thread([] {}).join();
                         const std::set<std::string> before = taskIds();
                         if (initChannel("quillmark-user", kProject, collector, storage) != 0)
                             return 2;
                         if (!waitForInsights(collector, 5, 30000)) return 3;
                         // Threads the library started: once its work is done they must
                         // neither run nor wake.
                         std::set<std::string> started;
                         for (const std::string& id : taskIds()) {
                             if (!before.count(id)) started.insert(id);
                         }
                         if (started.size() < 2) return 4;
                         std::this_thread::sleep_for(std::chrono::milliseconds(300));
                         const auto idleStart = costsOf(started);
                         std::this_thread::sleep_for(std::chrono::seconds(1));
                         return costsOf(started) == idleStart ? 0 : 5;
                     },
                     kChildTimeoutMs));

    const std::vector<Json::Value> records = insightRecords(collector);
    ASSERT_EQ(5u, records.size());
    const std::vector<Json::Value> sessions = qm_test::withBody(collector, "CREATE SESSION");
    ASSERT_EQ(1u, sessions.size());
    const std::vector<std::string> urls = {
        "http://127.0.0.1/v2/" + std::string(kProject) + "/logsconf", "http://127.0.0.1/slow",
        "http://127.0.0.1/missing", "http://127.0.0.1", "http://127.0.0.1/deep/path"};
    const std::vector<std::string> statuses = {"200", "404", "404",
                                               curl_easy_strerror(CURLE_COULDNT_CONNECT), "404"};
    std::ifstream idFile(storage.path() + "/quillmark/" + kProject + "/deviceID.db");
    const std::string deviceId((std::istreambuf_iterator<char>(idFile)),
                               std::istreambuf_iterator<char>());
    ASSERT_FALSE(deviceId.empty());
    for (size_t i = 0; i < records.size(); ++i) {
        const Json::Value& record = records[i];
        SCOPED_TRACE(record.toStyledString());
        // No "host" (the channel does not report it) and no "DeviceModel" (none known).
        EXPECT_EQ(kInsightKeys, keysOf(record));
        EXPECT_EQ(urls[i], record["Url"].asString());
        EXPECT_EQ(statuses[i], record["Status"].asString());
        EXPECT_EQ("performance log", record["body"].asString());
        EXPECT_EQ(kProject, record["projectName"].asString());
        EXPECT_EQ("2.0.1", record["projectVersion"].asString());
        EXPECT_EQ("insight-test", record["logSource"].asString());
        EXPECT_EQ("INFO", record["logLevel"].asString());
        EXPECT_EQ("v2", record["logVersion"].asString());
        EXPECT_EQ("1.0.0", record["NIVersion"].asString());
        EXPECT_EQ("Android(NDK)", record["Platform"].asString());
        EXPECT_EQ(deviceId, record["DeviceID"].asString());
        EXPECT_EQ(sessions[0]["SessionID"].asString(), record["SessionID"].asString());
        EXPECT_EQ(sessions[0]["SdkVersion"].asString(), record["SdkVersion"].asString());
        const std::string latency = record["Latency"].asString();
        ASSERT_FALSE(latency.empty());
        EXPECT_EQ(std::string::npos, latency.find_first_not_of("0123456789"));
    }
    const long slowLatency = std::stol(records[1]["Latency"].asString());
    EXPECT_GE(slowLatency, delayMs);
    EXPECT_LT(slowLatency, delayMs + 3000);

    // One request per result, each a single object whose type starts with the BOM.
    size_t uploads = 0;
    for (const Json::Value& request : collector.requests()) {
        const std::string body = request["body"].asString();
        if (body.find("NETWORKINSIGHTS") == std::string::npos) continue;
        ++uploads;
        // The mark travels as its three raw bytes at the start of the string.
        EXPECT_NE(std::string::npos, body.find("\"logType\":\"" + kInsightType + "\""));
        Json::Value posted;
        ASSERT_TRUE(jsonText::parse(body, posted));
        ASSERT_TRUE(posted.isObject());
        EXPECT_EQ(kInsightType, posted["logType"].asString());
        EXPECT_EQ("POST", request["method"].asString());
        EXPECT_EQ("/v2/log", request["path"].asString());
        EXPECT_EQ("application/json", request["headers"]["Content-Type"].asString());
        EXPECT_EQ('{', body.front());
        EXPECT_EQ(1, request["records"].asInt());
    }
    EXPECT_EQ(5u, uploads);
    // The path went to the host named, on the port named.
    EXPECT_EQ((std::vector<std::string>{"/missing", "/deep/path"}), getPaths(collector));
    EXPECT_EQ((std::vector<std::string>{"/slow"}), getPaths(slow));
    // The settings request, then the measurement of the fast URL (the same path).
    EXPECT_EQ(2u, service.settingsRequests());
}

TEST(NetworkInsights, DisabledInsightsMeasureNothing) {
    Service service;
    TempDir storage;
    CollectorProcess collector;
    CollectorProcess target;
    service.answer(false, {base(target) + "/never"});
    ASSERT_EQ(0, runInChild(
                     [&] {
                         service.use();
                         if (initChannel("quillmark-user", kProject, collector, storage) != 0)
                             return 2;
                         if (!qm_test::waitForBody(collector, "CREATE SESSION", 10000)) return 3;
                         std::this_thread::sleep_for(std::chrono::milliseconds(500));
                         const vesk2Performance* thread = sender()->performance();
                         return thread != nullptr && thread->queuedCount() == 0 ? 0 : 4;
                     },
                     kChildTimeoutMs));
    EXPECT_TRUE(getPaths(target).empty());
    EXPECT_TRUE(insightRecords(collector).empty());
    EXPECT_TRUE(
        std::filesystem::exists(storage.path() + "/quillmark/" + kProject + "/NetworkInsight.db"));
}

TEST(NetworkInsights, OnlyTheFirstMainChannelStartsTheThreadAndAsksOnce) {
    Service service;
    TempDir storage;
    CollectorProcess first;
    CollectorProcess second;
    service.answer(true, {service.fastUrl()});
    ASSERT_EQ(0, runInChild(
                     [&] {
                         service.use();
                         // "Corvane" alone: no thread, no settings request.
                         if (initChannel("Corvane", "Side", second, storage) != 0) return 2;
                         GetPlumeLog()->sendLog_Corvane(QUILLMARK_INFO, "corvane only");
                         if (!qm_test::waitForBody(second, "corvane only", 10000)) return 3;
                         if (sender()->performance() != nullptr) return 4;
                         if (service.settingsRequests() != 0) return 5;
                         if (initChannel("quillmark-user", kProject, first, storage, true) != 0)
                             return 6;
                         if (!waitForInsights(first, 1, 20000)) return 7;
                         const vesk2Performance* thread = sender()->performance();
                         if (initChannel("third", "Third", second, storage) != 0) return 8;
                         if (!qm_test::waitForBody(second, "CREATE SESSION", 10000)) return 9;
                         std::this_thread::sleep_for(std::chrono::milliseconds(300));
                         return sender()->performance() == thread ? 0 : 10;
                     },
                     kChildTimeoutMs));
    // One settings request and one measurement of the fast URL (the measurement is a GET of
    // the same path): two requests in all.
    EXPECT_EQ(2u, service.settingsRequests());
    const std::vector<Json::Value> records = insightRecords(first);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(kProject, records[0]["projectName"].asString());
    // The channel reports its host: the same text as its own records.
    const std::vector<Json::Value> sessions = qm_test::withBody(first, "CREATE SESSION");
    ASSERT_FALSE(sessions.empty());
    EXPECT_FALSE(records[0]["host"].asString().empty());
    EXPECT_EQ(sessions[0]["host"].asString(), records[0]["host"].asString());
    EXPECT_TRUE(insightRecords(second).empty());
}

TEST(NetworkInsights, OnlyTheFirst500UrlsAreMeasured) {
    Service service;
    TempDir storage;
    CollectorProcess collector;
    const std::string dead = "http://127.0.0.1:" + std::to_string(qm_test::unusedLoopbackPort());
    std::vector<std::string> urls;
    for (int i = 0; i < 520; ++i) urls.push_back(dead + "/n/" + std::to_string(i));
    service.answer(true, urls);
    ASSERT_EQ(0, runInChild(
                     [&] {
                         const int code =
                             mainChannelReports(service, collector, storage, 500, 60000);
                         // Time for a 501st upload that must not come.
                         std::this_thread::sleep_for(std::chrono::milliseconds(500));
                         return code;
                     },
                     kChildTimeoutMs));
    const std::vector<Json::Value> records = insightRecords(collector);
    ASSERT_EQ(500u, records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ("http://127.0.0.1/n/" + std::to_string(i), records[i]["Url"].asString());
    }
}

// Both the measured fetch and the upload use libcurl's default TLS (a self-signed collector,
// certificates not checked, as for the channel's own records).
TEST(NetworkInsights, MeasuresAndUploadsOverHttps) {
    Service service;
    TempDir storage;
    CollectorOptions tls;
    tls.https = true;
    CollectorProcess collector(tls);
    const std::string measured = collector.address() + ":" + std::to_string(collector.port());
    service.answer(true, {measured + "/tls/path"});
    ASSERT_EQ(0,
              runInChild([&] { return mainChannelReports(service, collector, storage, 1, 20000); },
                         kChildTimeoutMs));
    const std::vector<Json::Value> records = insightRecords(collector);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("https://127.0.0.1/tls/path", records[0]["Url"].asString());
    EXPECT_EQ("404", records[0]["Status"].asString());
    EXPECT_EQ((std::vector<std::string>{"/tls/path"}), getPaths(collector));
}

// The upload reads the collector address as the sending thread does: the port it names wins
// over the port argument, and a trailing slash adds nothing to the path.
TEST(NetworkInsights, UploadGoesToThePortTheAddressNames) {
    Service service;
    TempDir storage;
    CollectorProcess collector;
    service.answer(true, {service.fastUrl()});
    const std::string address = base(collector) + "/";
    ASSERT_EQ(0, runInChild(
                     [&] {
                         service.use();
                         if (QuillMarkInitialize(kProject, storage.path().c_str(), "2.0.1",
                                                 address.c_str(), 1, "insight-test", nullptr, false,
                                                 false, "quillmark-user") != 0) {
                             return 2;
                         }
                         return waitForInsights(collector, 1, 20000) ? 0 : 3;
                     },
                     kChildTimeoutMs));
    EXPECT_EQ(1u, insightRecords(collector).size());
}

// The settings name a URL on a server that accepts and never answers, then the fast URL.
struct HangingUrlFirst {
    Service service;
    TempDir storage;
    CollectorProcess collector;
    CollectorProcess stall{stallOptions()};

    HangingUrlFirst() { service.answer(true, {base(stall) + "/hang", service.fastUrl()}); }
    static CollectorOptions stallOptions() {
        CollectorOptions options;
        options.mode = "stall";
        return options;
    }
};

// A URL that never answers costs at most the total bound; the URLs after it are still measured.
TEST(NetworkInsights, AHangingUrlIsCutAtTheBoundAndTheNextIsMeasured) {
    HangingUrlFirst scenario;
    Service& service = scenario.service;
    CollectorProcess& collector = scenario.collector;
    TempDir& storage = scenario.storage;
    const long boundSeconds = 2;
    ASSERT_EQ(0, runInChild(
                     [&] {
                         vesk2Performance::setFetchBounds({5, boundSeconds});
                         return mainChannelReports(service, collector, storage, 2, 30000);
                     },
                     kChildTimeoutMs));
    const std::vector<Json::Value> records = insightRecords(collector);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("http://127.0.0.1/hang", records[0]["Url"].asString());
    EXPECT_EQ(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT), records[0]["Status"].asString());
    const long hung = std::stol(records[0]["Latency"].asString());
    EXPECT_GE(hung, boundSeconds * 1000 - 50);
    EXPECT_LT(hung, boundSeconds * 1000 + 3000);
    EXPECT_EQ("200", records[1]["Status"].asString());
}

// The sender's end stops the measuring thread even in the middle of a slow fetch.
TEST(NetworkInsights, DestroyingTheSenderDoesNotWaitForAFetch) {
    HangingUrlFirst scenario;
    Service& service = scenario.service;
    CollectorProcess& collector = scenario.collector;
    TempDir& storage = scenario.storage;
    ASSERT_EQ(0, runInChild(
                     [&] {
                         service.use();
                         if (initChannel("quillmark-user", kProject, collector, storage) != 0)
                             return 2;
                         if (!qm_test::waitUntil([] { return sender()->performance() != nullptr; },
                                                 10000))
                             return 3;
                         std::this_thread::sleep_for(std::chrono::milliseconds(500));
                         const auto start = std::chrono::steady_clock::now();
                         DestroyPlumeLog();
                         const auto took = std::chrono::steady_clock::now() - start;
                         return took < std::chrono::seconds(5) ? 0 : 4;
                     },
                     kChildTimeoutMs));
    EXPECT_TRUE(insightRecords(collector).empty());
}
