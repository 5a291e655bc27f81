// Network insights: the settings answer names URLs, the first main channel's set-up starts the
// measuring thread, and the channel's collector receives one record per measured URL. The
// library runs in this process on a state of its own: the scripted collector answers the
// settings request and takes the uploads, and the measured URLs are loopback servers that the
// fetch (libcurl) reaches over real sockets. Only the HTTPS fetch needs a collector process.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "insight/vesk2Performance.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/scoped_variable.h"
#include "support/scripted_library.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "transport/httpSender.h"
#include "util/jsonText.h"

using qm_test::RawServer;
using qm_test::ReplyStep;
using qm_test::ScriptedCollector;
using qm_test::ScriptedLibrary;
using qm_test::SeenRequest;
using qm_test::TempDir;

namespace {

const char* const kProject = "NetApp";
const std::string kInsightType = "\xEF\xBB\xBFNETWORKINSIGHTS";

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

// The settings GET gets the answer naming `urls`; posts are taken.
ScriptedCollector::Responder naming(bool enabled, const std::vector<std::string>& urls) {
    const std::string settings = settingsAnswer(enabled, urls);
    return [settings](const SeenRequest& request, const ExchangeDeadline& deadline) {
        return request.get ? ScriptedCollector::always(200, settings)(request, deadline)
                           : ScriptedCollector::acceptAll()(request, deadline);
    };
}

std::string answerOf(const std::string& status) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: 2\r\n\r\nok";
}

// A loopback server that answers one fetch with `status`, after `delayMs`.
std::unique_ptr<RawServer> answering(const std::string& status, int delayMs = 0) {
    std::vector<ReplyStep> script;
    if (delayMs > 0) script.push_back(ReplyStep::pause(delayMs));
    script.push_back(ReplyStep::send(answerOf(status)));
    return std::make_unique<RawServer>(script);
}

std::string base(const RawServer& server) {
    return "http://127.0.0.1:" + std::to_string(server.port());
}

// The request line of the one fetch the server received.
std::string fetchLine(RawServer& server) {
    server.finish();
    const std::string request = server.request();
    return request.substr(0, request.find("\r\n"));
}

std::vector<Json::Value> insightRecords(const ScriptedCollector& collector) {
    return qm_test::withField(collector.records(), "logType", kInsightType);
}

bool waitForInsights(const ScriptedCollector& collector, size_t count, int timeoutMs) {
    return qm_test::waitUntil([&] { return insightRecords(collector).size() >= count; }, timeoutMs);
}

int initChannel(ScriptedLibrary& library, const char* channel, const char* project,
                const TempDir& storage, bool clientHost = false,
                const char* address = ScriptedLibrary::kAddress,
                int port = ScriptedLibrary::kPort) {
    return library.core.initialize(project, storage.path().c_str(), "2.0.1", "insight-test",
                                   nullptr, address, port, clientHost, false, channel);
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
    const qm_test::ScopedVariable noModel("ANDROID_PROP_ro_product_model", nullptr);
    const int delayMs = 400;
    const std::unique_ptr<RawServer> fast = answering("200 OK");
    const std::unique_ptr<RawServer> slow = answering("404 Not Found", delayMs);
    const std::unique_ptr<RawServer> missing = answering("404 Not Found");
    const std::unique_ptr<RawServer> deep = answering("404 Not Found");
    const std::string deadPort = std::to_string(qm_test::unusedLoopbackPort());
    ScriptedLibrary library(
        naming(true, {base(*fast) + "/fast", base(*slow) + "/slow", base(*missing) + "/missing",
                      "http://127.0.0.1:" + deadPort + "/", base(*deep) + "//deep/path/"}));
    TempDir storage;
    // A sanitizer's own helper thread starts with the first thread made; it must count as
    // "before".
    std::thread([] {}).join();
    const std::set<std::string> before = taskIds();
    ASSERT_EQ(0, initChannel(library, VESK_CHANNEL_USER, kProject, storage));
    ASSERT_TRUE(waitForInsights(library.collector, 5, 30000));
    // Threads the library started: once its work is done they must neither run nor wake.
    std::set<std::string> started;
    for (const std::string& id : taskIds()) {
        if (!before.count(id)) started.insert(id);
    }
    EXPECT_GE(started.size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto idleStart = costsOf(started);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(costsOf(started) == idleStart);

    const std::vector<Json::Value> records = insightRecords(library.collector);
    ASSERT_EQ(5u, records.size());
    const std::vector<Json::Value> sessions =
        qm_test::withField(library.collector.records(), "body", "CREATE SESSION");
    ASSERT_EQ(1u, sessions.size());
    const std::vector<std::string> urls = {"http://127.0.0.1/fast", "http://127.0.0.1/slow",
                                           "http://127.0.0.1/missing", "http://127.0.0.1",
                                           "http://127.0.0.1/deep/path"};
    const std::vector<std::string> statuses = {"200", "404", "404",
                                               curl_easy_strerror(CURLE_COULDNT_CONNECT), "404"};
    const std::string deviceId =
        qm_test::readFileText(storage.path() + "/quillmark/" + kProject + "/deviceID.db");
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

    // One post per result to the channel's collector, each a single object whose type starts
    // with the BOM, its three raw bytes at the start of the string.
    size_t uploads = 0;
    for (const SeenRequest& request : library.collector.requests()) {
        if (request.body.find("NETWORKINSIGHTS") == std::string::npos) continue;
        ++uploads;
        EXPECT_FALSE(request.get);
        EXPECT_EQ("http://127.0.0.1:8088/v2/log", request.url);
        EXPECT_NE(std::string::npos, request.body.find("\"logType\":\"" + kInsightType + "\""));
        EXPECT_EQ('{', request.body.front());
        EXPECT_EQ(1u, request.records.size());
    }
    EXPECT_EQ(5u, uploads);
    // The path went to the host named, on the port named.
    EXPECT_EQ("GET /fast HTTP/1.1", fetchLine(*fast));
    EXPECT_EQ("GET /slow HTTP/1.1", fetchLine(*slow));
    EXPECT_EQ("GET /missing HTTP/1.1", fetchLine(*missing));
    EXPECT_EQ("GET /deep/path HTTP/1.1", fetchLine(*deep));
}

TEST(NetworkInsights, DisabledInsightsMeasureNothing) {
    const std::unique_ptr<RawServer> target = answering("200 OK");
    ScriptedLibrary library(naming(false, {base(*target) + "/never"}));
    TempDir storage;
    ASSERT_EQ(0, initChannel(library, VESK_CHANNEL_USER, kProject, storage));
    ASSERT_TRUE(qm_test::waitUntil(
        [&] {
            return !qm_test::withField(library.collector.records(), "body", "CREATE SESSION")
                        .empty();
        },
        10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The measuring thread is there, with nothing to measure.
    EXPECT_NE(nullptr, library.core.sender()->performance());
    target->finish();
    EXPECT_FALSE(target->accepted());
    EXPECT_TRUE(insightRecords(library.collector).empty());
    EXPECT_TRUE(
        std::filesystem::exists(storage.path() + "/quillmark/" + kProject + "/NetworkInsight.db"));
}

// "Corvane" alone starts no measuring thread (when the settings are asked for is
// settings_test's); the first main channel starts it, and a later channel neither starts another
// nor has its own collector get results. The results go to the collector of the channel that
// started the thread, with its host.
TEST(NetworkInsights, OnlyTheFirstMainChannelStartsTheThread) {
    const std::unique_ptr<RawServer> fast = answering("200 OK");
    ScriptedLibrary library(naming(true, {base(*fast) + "/fast"}));
    TempDir storage;
    const char* const side = "http://side.test";
    ASSERT_EQ(0, initChannel(library, VESK_CHANNEL_CORVANE, "Side", storage, false, side));
    ASSERT_TRUE(library.core.sendLog(VESK_LL_INFO, "corvane only", VESK_CHANNEL_CORVANE));
    ASSERT_TRUE(library.collector.waitForRecords(1, 10000));
    EXPECT_EQ(nullptr, library.core.sender()->performance());
    ASSERT_EQ(0, initChannel(library, VESK_CHANNEL_USER, kProject, storage, true));
    ASSERT_TRUE(waitForInsights(library.collector, 1, 20000));
    const vesk2Performance* thread = library.core.sender()->performance();
    ASSERT_EQ(0, initChannel(library, "third", "Third", storage, false, side));
    ASSERT_TRUE(qm_test::waitUntil(
        [&] {
            return !qm_test::withField(library.collector.records(), "projectName", "Third").empty();
        },
        10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(thread, library.core.sender()->performance());

    const std::vector<Json::Value> records = insightRecords(library.collector);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(kProject, records[0]["projectName"].asString());
    for (const SeenRequest& request : library.collector.requests()) {
        if (request.body.find("NETWORKINSIGHTS") == std::string::npos) continue;
        EXPECT_EQ("http://127.0.0.1:8088/v2/log", request.url);
    }
    // The channel reports its host: the same text as its own records.
    const std::vector<Json::Value> sessions = qm_test::withField(
        qm_test::withField(library.collector.records(), "body", "CREATE SESSION"), "projectName",
        kProject);
    ASSERT_FALSE(sessions.empty());
    EXPECT_FALSE(records[0]["host"].asString().empty());
    EXPECT_EQ(sessions[0]["host"].asString(), records[0]["host"].asString());
}

TEST(NetworkInsights, OnlyTheFirst500UrlsAreMeasured) {
    const std::string dead = "http://127.0.0.1:" + std::to_string(qm_test::unusedLoopbackPort());
    std::vector<std::string> urls;
    for (int i = 0; i < 520; ++i) urls.push_back(dead + "/n/" + std::to_string(i));
    ScriptedLibrary library(naming(true, urls));
    TempDir storage;
    ASSERT_EQ(0, initChannel(library, VESK_CHANNEL_USER, kProject, storage));
    ASSERT_TRUE(waitForInsights(library.collector, 500, 60000));
    // Time for a 501st upload that must not come.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<Json::Value> records = insightRecords(library.collector);
    ASSERT_EQ(500u, records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ("http://127.0.0.1/n/" + std::to_string(i), records[i]["Url"].asString());
    }
}

// The measured fetch uses libcurl's default TLS: a self-signed server, certificates not
// checked.
TEST(NetworkInsights, MeasuresOverHttps) {
    qm_test::CollectorOptions tls;
    tls.https = true;
    qm_test::CollectorProcess server(tls);
    const std::string measured = server.address() + ":" + std::to_string(server.port());
    ScriptedLibrary library(naming(true, {measured + "/tls/path"}));
    TempDir storage;
    ASSERT_EQ(0, initChannel(library, VESK_CHANNEL_USER, kProject, storage));
    ASSERT_TRUE(waitForInsights(library.collector, 1, 20000));
    const std::vector<Json::Value> records = insightRecords(library.collector);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("https://127.0.0.1/tls/path", records[0]["Url"].asString());
    EXPECT_EQ("404", records[0]["Status"].asString());
    ASSERT_EQ(1u, server.requests().size());
    EXPECT_EQ("GET", server.requests()[0]["method"].asString());
    EXPECT_EQ("/tls/path", server.requests()[0]["path"].asString());
}

// The upload reads the collector address as the sending thread does: the port it names wins
// over the port argument, and a trailing slash adds nothing to the path.
TEST(NetworkInsights, UploadGoesToThePortTheAddressNames) {
    const std::unique_ptr<RawServer> fast = answering("200 OK");
    ScriptedLibrary library(naming(true, {base(*fast) + "/fast"}));
    TempDir storage;
    ASSERT_EQ(0, initChannel(library, VESK_CHANNEL_USER, kProject, storage, false,
                             "http://127.0.0.1:9099/", 1));
    ASSERT_TRUE(waitForInsights(library.collector, 1, 20000));
    for (const SeenRequest& request : library.collector.requests()) {
        if (request.body.find("NETWORKINSIGHTS") == std::string::npos) continue;
        EXPECT_EQ("http://127.0.0.1:9099/v2/log", request.url);
    }
}

// The settings name a URL on a server that accepts and never answers, then a fast one.
struct HangingUrlFirst {
    RawServer hang{{ReplyStep::pause(60000)}};
    std::unique_ptr<RawServer> fast = answering("200 OK");
    ScriptedLibrary library{naming(true, {base(hang) + "/hang", base(*fast) + "/fast"})};
    TempDir storage;
};

// A URL that never answers costs at most the total bound; the URLs after it are still measured.
TEST(NetworkInsights, AHangingUrlIsCutAtTheBoundAndTheNextIsMeasured) {
    const long boundSeconds = 2;
    vesk2Performance::setFetchBounds({5, boundSeconds});
    HangingUrlFirst scenario;
    ASSERT_EQ(0, initChannel(scenario.library, VESK_CHANNEL_USER, kProject, scenario.storage));
    const bool measured = waitForInsights(scenario.library.collector, 2, 30000);
    vesk2Performance::setFetchBounds({});
    ASSERT_TRUE(measured);
    const std::vector<Json::Value> records = insightRecords(scenario.library.collector);
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
    ASSERT_EQ(0, initChannel(scenario.library, VESK_CHANNEL_USER, kProject, scenario.storage));
    ASSERT_TRUE(qm_test::waitUntil(
        [&] { return scenario.library.core.sender()->performance() != nullptr; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    scenario.library.core.destory();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(insightRecords(scenario.library.collector).empty());
}
