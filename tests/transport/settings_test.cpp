// Remote settings against a loopback settings service (the collector tool answering GET
// .../logsconf with a file): what each answer does to the switches of "quillmark-user", to the
// cache "NetworkInsight.db" and to the URLs handed on, and how the switches gate the records.
// Each scenario runs in a child process, as the registry and the sender are process-wide.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "transport/httpSender.h"
#include "transport/remoteSettings.h"
#include "util/jsonText.h"

using qm_test::CollectorOptions;
using qm_test::CollectorProcess;
using qm_test::runInChild;
using qm_test::TempDir;
using qm_test::writeFileText;

namespace {

const int kChildTimeoutMs = 40000;
const char* const kProject = "SetApp";
// Switches as "normal crash session", e.g. "111".
const char* const kDefaults = "111";
// What every scenario applies first, so that "unchanged" differs from the defaults.
const char* const kMarker = "010";
const char* const kMarkerAnswer =
    R"({"status":200,"result":{"log":{"enable":false},"crash":{"enable":true},)"
    R"("session":{"enable":false},"networkinsights":{"enable":true}}})";
// A cache that differs from both.
const char* const kCacheFlags = "101";
const char* const kCacheAnswer =
    R"({"status":200,"result":{"log":{"enable":true},"crash":{"enable":false},)"
    R"("session":{"enable":true},"networkinsights":{"enable":true}}})";

// A collector that answers every settings request with `answer`, read from "answer.json" in
// `storage` at each request, so a scenario may change it on the way.
CollectorOptions settingsService(const TempDir& storage, const std::string& answer) {
    writeFileText(storage.file("answer.json"), answer);
    CollectorOptions options;
    options.extraArgs = {"--settings-file", storage.file("answer.json")};
    return options;
}

std::string cacheFile(const TempDir& storage, const std::string& project = kProject) {
    return storage.path() + "/quillmark/" + project + "/NetworkInsight.db";
}

std::string compact(const std::string& json) {
    Json::Value value;
    jsonText::parse(json, value);
    return jsonText::writeCompact(value);
}

// Every request to the service goes to this collector; the alternative one to altPort.
void pointSettingsAt(const CollectorProcess& service, long altPort = 0) {
    RemoteSettings::Endpoints endpoints;
    endpoints.url = service.address();
    endpoints.port = service.port();
    endpoints.altCollectorIp = "192.0.2.10";
    endpoints.altUrl = service.address();
    endpoints.altPort = altPort ? altPort : qm_test::unusedLoopbackPort();
    LibraryState::process().settings.setSettingsEndpoints(endpoints);
}

std::string switchesOf(const std::string& channel) {
    Handler snapshot;
    if (!LibraryState::process().registry.snapshot(channel, snapshot)) return "none";
    std::string flags;
    for (bool flag :
         {snapshot.m_isNormalEnable, snapshot.m_isCrashEnable, snapshot.m_isSessionEnable}) {
        flags += flag ? '1' : '0';
    }
    return flags;
}

int initMain(const CollectorProcess& collector, const TempDir& storage, bool asyncStart) {
    return QuillMarkInitialize(kProject, storage.path().c_str(), "1.0.0",
                               collector.address().c_str(), collector.port(), nullptr, nullptr,
                               true, asyncStart, "quillmark-user");
}

HttpSender* sender() { return currentPlumeLog()->core()->sender(); }

// At whichever priority: a failure is logged at WARN, the rest at INFO.
bool logged(const std::string& text) {
    const std::vector<std::string> lines = qm_platform::capturedLogLines();
    return std::any_of(lines.begin(), lines.end(), [&text](const std::string& line) {
        return line.size() > 1 && line.compare(1, std::string::npos, "/NDK: " + text) == 0;
    });
}

enum class Cache { Kept, Removed, Valid, Garbage, Padded, OverBound };
enum class CacheAfter { Unchanged, Replaced };

struct SettingsCase {
    const char* name;
    std::string answer;
    Cache cache;
    const char* flags;
    CacheAfter cacheAfter;
    std::vector<std::string> messages;
    std::vector<std::string> urls;
    bool unreachable = false;
};

// A cache of `length` characters: kCacheAnswer, then white space.
std::string paddedCache(size_t length) {
    std::string line = kCacheAnswer;
    line.append(length - line.size(), ' ');
    return line + "\n";
}

std::string cacheContent(Cache cache) {
    switch (cache) {
        case Cache::Valid:
            return compact(kCacheAnswer);
        case Cache::Garbage:
            return "{\"status\":200,\"res";
        case Cache::Padded:
            return paddedCache(64 * 1024);
        case Cache::OverBound:
            return paddedCache(RemoteSettings::kMaxSettingsBytes + 1);
        default:
            return std::string();
    }
}

std::string answerWith(const std::string& result, const std::string& status = "200") {
    return R"({"status":)" + status + R"(,"result":)" + result + "}";
}

std::string sections(const std::string& log, const std::string& crash, const std::string& session,
                     const std::string& insights) {
    return R"({"log":)" + log + R"(,"crash":)" + crash + R"(,"session":)" + session +
           R"(,"networkinsights":)" + insights + "}";
}

const std::string kOn = R"({"enable":true})";
const std::string kOff = R"({"enable":false})";

SettingsCase row(const char* name, const std::string& answer, Cache cache, const char* flags,
                 CacheAfter cacheAfter, const std::vector<std::string>& messages,
                 const std::vector<std::string>& urls, bool unreachable = false) {
    return SettingsCase{name, answer, cache, flags, cacheAfter, messages, urls, unreachable};
}

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const SettingsCase& settingsCase, std::ostream* out) { *out << settingsCase.name; }

class SettingsOutcome : public ::testing::TestWithParam<SettingsCase> {};

}  // namespace

TEST_P(SettingsOutcome, SwitchesCacheAndUrls) {
    const SettingsCase& param = GetParam();
    TempDir storage;
    const std::string answerFile = storage.file("answer.json");
    const std::string resultFile = storage.file("result.json");
    CollectorProcess service(settingsService(storage, kMarkerAnswer));

    ASSERT_EQ(0, runInChild(
                     [&] {
                         pointSettingsAt(service);
                         if (initMain(service, storage, false) != 0) return 2;
                         if (!qm_test::waitUntil(
                                 [] { return switchesOf("quillmark-user") == kMarker; }, 10000))
                             return 3;
                         GetPlumeLog()->destroy();  // no pass of the worker from here on
                         const std::string cache = cacheFile(storage);
                         if (param.cache == Cache::Removed) std::filesystem::remove(cache);
                         if (param.cache != Cache::Kept && param.cache != Cache::Removed) {
                             writeFileText(cache, cacheContent(param.cache));
                         }
                         writeFileText(answerFile, param.answer);
                         if (param.unreachable) {
                             RemoteSettings::Endpoints endpoints =
                                 LibraryState::process().settings.settingsEndpoints();
                             endpoints.port = qm_test::unusedLoopbackPort();
                             LibraryState::process().settings.setSettingsEndpoints(endpoints);
                         }
                         LibraryState& state = LibraryState::process();
                         const std::unique_ptr<CollectorTransport> transport = state.transports();
                         RemoteSettings settings(state.registry, *transport,
                                                 state.settings.settingsEndpoints());
                         qm_platform::startLogCapture();
                         const std::vector<std::string> urls =
                             settings.fetchAndApply(service.address(), kProject);

                         Json::Value result;
                         result["flags"] = switchesOf("quillmark-user");
                         for (const char* message :
                              {"Settings API Connection Faield", "Settings status not 200",
                               "Settings answer of another shape", "loadSettings",
                               "setDefaultSettings"}) {
                             if (logged(message)) result["messages"].append(message);
                         }
                         for (const std::string& url : urls) result["urls"].append(url);
                         writeFileText(resultFile, jsonText::writeCompact(result));
                         return 0;
                     },
                     kChildTimeoutMs));
    Json::Value result;
    ASSERT_TRUE(jsonText::parse(qm_test::readFileText(resultFile), result));
    EXPECT_EQ(param.flags, result["flags"].asString());

    const std::string cacheNow = qm_test::readFileText(cacheFile(storage));
    if (param.cacheAfter == CacheAfter::Replaced) {
        EXPECT_EQ(compact(param.answer), cacheNow);
    } else if (param.cache == Cache::Kept) {
        EXPECT_EQ(compact(kMarkerAnswer), cacheNow);
    } else if (param.cache == Cache::Removed) {
        EXPECT_FALSE(std::filesystem::exists(cacheFile(storage)));
    } else {
        EXPECT_EQ(cacheContent(param.cache), cacheNow);
    }

    std::vector<std::string> messages;
    for (const Json::Value& message : result["messages"]) messages.push_back(message.asString());
    EXPECT_EQ(param.messages, messages);

    std::vector<std::string> urls;
    for (const Json::Value& url : result["urls"]) urls.push_back(url.asString());
    EXPECT_EQ(param.urls, urls);
}

// Log lines of each outcome.
const std::vector<std::string> kApplied;
const std::vector<std::string> kNoAnswerCache = {"Settings API Connection Faield", "loadSettings"};
const std::vector<std::string> kStatusCache = {"Settings status not 200", "loadSettings"};
const std::vector<std::string> kStatusDefaults = {"Settings status not 200", "setDefaultSettings"};
const std::vector<std::string> kShapeCache = {"Settings answer of another shape", "loadSettings"};
const std::vector<std::string> kNoUrls;

INSTANTIATE_TEST_SUITE_P(
    Answers, SettingsOutcome,
    ::testing::Values(
        // status 200 and the channel registered: the answer's switches, the cache replaced,
        // the URLs handed on when network insights are on.
        row("Valid", answerWith(sections(kOn, kOff, kOn, R"({"enable":true,"urls":["a","b"]})")),
            Cache::Kept, "101", CacheAfter::Replaced, kApplied, {"a", "b"}),
        row("ValidAllOff", answerWith(sections(kOff, kOff, kOff, R"({"urls":["a"]})")), Cache::Kept,
            "000", CacheAfter::Replaced, kApplied, kNoUrls),
        row("ValidWithoutSession", answerWith(R"({"log":{"enable":true},"crash":{"enable":1}})"),
            Cache::Kept, "110", CacheAfter::Replaced, kApplied, kNoUrls),
        row("ValidWithoutResult", R"({"status":200})", Cache::Kept, "000", CacheAfter::Replaced,
            kApplied, kNoUrls),
        // The service's loose truth: "false" is a non-empty text, so it counts as on.
        row("EnableOfOtherTypes",
            answerWith(sections(R"({"enable":"false"})", R"({"enable":0})", R"({"enable":[1]})",
                                R"({"enable":""})")),
            Cache::Kept, "101", CacheAfter::Replaced, kApplied, kNoUrls),
        row("CommentsAllowed", "// settings\n" + answerWith(sections(kOn, kOn, kOff, kOff)),
            Cache::Kept, "110", CacheAfter::Replaced, kApplied, kNoUrls),
        row("UrlsNotAList", answerWith(sections(kOn, kOn, kOn, R"({"enable":true,"urls":"a"})")),
            Cache::Kept, "111", CacheAfter::Replaced, kApplied, kNoUrls),
        // No usable answer (not JSON, none at all, another status, members of other types):
        // the cache (here the earlier answer, kMarker); the defaults only without one.
        row("PlainText", "the settings service is down", Cache::Kept, kMarker,
            CacheAfter::Unchanged, kNoAnswerCache, kNoUrls),
        row("EmptyAnswer", "", Cache::Kept, kMarker, CacheAfter::Unchanged, kNoAnswerCache,
            kNoUrls),
        row("NothingListens", kMarkerAnswer, Cache::Kept, kMarker, CacheAfter::Unchanged,
            kNoAnswerCache, kNoUrls, true),
        row("NothingListensWithoutCache", kMarkerAnswer, Cache::Removed, kDefaults,
            CacheAfter::Unchanged, {"Settings API Connection Faield", "setDefaultSettings"},
            kNoUrls, true),
        row("NestedBeyondTheReader", std::string(5000, '['), Cache::Kept, kMarker,
            CacheAfter::Unchanged, kNoAnswerCache, kNoUrls),
        row("LongerThanTheBound",
            R"({"pad":")" + std::string(RemoteSettings::kMaxSettingsBytes, 'x') +
                R"(","status":200,"result":)" + sections(kOff, kOff, kOff, kOff) + "}",
            Cache::Kept, kMarker, CacheAfter::Unchanged, kNoAnswerCache, kNoUrls),
        row("Status500WithCache", R"({"status":500})", Cache::Valid, kCacheFlags,
            CacheAfter::Unchanged, kStatusCache, kNoUrls),
        row("StatusMissingWithCache", R"({"result":)" + sections(kOff, kOff, kOff, kOff) + "}",
            Cache::Valid, kCacheFlags, CacheAfter::Unchanged, kStatusCache, kNoUrls),
        row("Status500WithoutCache", R"({"status":500})", Cache::Removed, kDefaults,
            CacheAfter::Unchanged, kStatusDefaults, kNoUrls),
        row("Status500CacheNotJson", R"({"status":500})", Cache::Garbage, kDefaults,
            CacheAfter::Unchanged, kStatusDefaults, kNoUrls),
        // The cache is read whole, up to the bound of an answer.
        row("Status500CachePadded", R"({"status":500})", Cache::Padded, kCacheFlags,
            CacheAfter::Unchanged, kStatusCache, kNoUrls),
        row("Status500CacheOverTheBound", R"({"status":500})", Cache::OverBound, kDefaults,
            CacheAfter::Unchanged, kStatusDefaults, kNoUrls),
        row("StatusAsText", answerWith(sections(kOff, kOff, kOff, kOff), "\"200\""), Cache::Kept,
            kMarker, CacheAfter::Unchanged, kShapeCache, kNoUrls),
        row("AnswerIsAList", "[1,2]", Cache::Kept, kMarker, CacheAfter::Unchanged, kShapeCache,
            kNoUrls),
        row("ResultIsAList", answerWith("[]"), Cache::Valid, kCacheFlags, CacheAfter::Unchanged,
            kShapeCache, kNoUrls),
        row("SectionIsAList", answerWith(sections("[true]", kOff, kOff, kOff)), Cache::Kept,
            kMarker, CacheAfter::Unchanged, kShapeCache, kNoUrls),
        row("SectionIsTextWithoutCache", answerWith(sections(kOff, "\"on\"", kOff, kOff)),
            Cache::Removed, kDefaults, CacheAfter::Unchanged,
            {"Settings answer of another shape", "setDefaultSettings"}, kNoUrls),
        // The cache was written before the list was read, and is what then applies; the URLs
        // before the number stay.
        row("UrlsWithNumbers",
            answerWith(sections(kOff, kOff, kOff, R"({"enable":true,"urls":["a",5,"c"]})")),
            Cache::Kept, "000", CacheAfter::Replaced, kShapeCache, {"a"})),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return info.param.name; });

TEST(RemoteSettings, AskedOncePerSenderAtTheDefaultOrAlternativeEndpoint) {
    TempDir storage;
    CollectorProcess service(settingsService(storage, answerWith(sections(kOn, kOn, kOn, kOff))));
    ASSERT_EQ(0, runInChild(
                     [&] {
                         pointSettingsAt(service);
                         plume::quillmark::PlumeLog* log = GetPlumeLog();
                         // "Corvane" asks for nothing; the first other channel does, once.
                         for (const char* channel : {"Corvane", "quillmark-user", "third"}) {
                             if (log->initialize(kProject, storage.path().c_str(), "1.0",
                                                 service.address().c_str(), service.port(), nullptr,
                                                 nullptr, true, false, channel) != 0)
                                 return 2;
                         }
                         log->sendLog(QUILLMARK_INFO, "after set-up");
                         return qm_test::waitForBody(service, "after set-up", 10000) ? 0 : 3;
                     },
                     kChildTimeoutMs));
    // An address holding the alternative collector's IP, even inside a longer text.
    ASSERT_EQ(0, runInChild(
                     [&] {
                         pointSettingsAt(service, service.port());
                         RemoteSettings::Endpoints endpoints =
                             LibraryState::process().settings.settingsEndpoints();
                         endpoints.port = qm_test::unusedLoopbackPort();
                         endpoints.altCollectorIp = "27.0.0";
                         LibraryState::process().settings.setSettingsEndpoints(endpoints);
                         if (initMain(service, storage, false) != 0) return 2;
                         QuillMarkSendLog(QUILLMARK_INFO, "alternative");
                         return qm_test::waitForBody(service, "alternative", 10000) ? 0 : 3;
                     },
                     kChildTimeoutMs));
    std::vector<Json::Value> gets;
    for (const Json::Value& request : service.requests()) {
        if (request["method"].asString() == "GET") gets.push_back(request);
    }
    ASSERT_EQ(2u, gets.size());
    EXPECT_EQ(std::string("/v2/") + kProject + "/logsconf", gets[0]["path"].asString());
    EXPECT_EQ("application/json", gets[0]["headers"]["Content-Type"].asString());
    EXPECT_EQ(std::string("/v2/settings/") + kProject + "/logsconf", gets[1]["path"].asString());
}

TEST(RemoteSettings, OnlyTheDefaultChannelFollowsTheSettings) {
    TempDir storage;
    CollectorProcess service(settingsService(storage, answerWith(sections(kOff, kOff, kOff, kOn))));
    ASSERT_EQ(0, runInChild(
                     [&] {
                         pointSettingsAt(service);
                         if (GetPlumeLog()->initialize(kProject, storage.path().c_str(), "1.0",
                                                       service.address().c_str(), service.port(),
                                                       nullptr, nullptr, true, false, "other") != 0)
                             return 2;
                         if (!qm_test::waitForBody(service, "CREATE SESSION", 10000)) return 3;
                         GetPlumeLog()->destroy();
                         return switchesOf("other") == "111" ? 0 : 4;
                     },
                     kChildTimeoutMs));
    ASSERT_FALSE(qm_test::withField(service.requests(), "method", "GET").empty());
    EXPECT_FALSE(std::filesystem::exists(cacheFile(storage)));
}

TEST(RemoteSettings, ServiceThatNeverAnswersHoldsTheSendingThreadTenSecondsAtMost) {
    CollectorProcess collector;
    CollectorOptions stalled;
    stalled.mode = "stall";
    CollectorProcess service(stalled);
    TempDir storage;
    ASSERT_EQ(0, runInChild(
                     [&] {
                         pointSettingsAt(service);
                         const auto start = std::chrono::steady_clock::now();
                         if (initMain(collector, storage, false) != 0) return 2;
                         if (!qm_test::waitForBody(collector, "CREATE SESSION", 20000)) return 3;
                         const auto waited = std::chrono::steady_clock::now() - start;
                         if (waited < std::chrono::seconds(9)) return 4;
                         if (waited > std::chrono::seconds(15)) return 5;
                         return switchesOf("quillmark-user") == kDefaults ? 0 : 6;
                     },
                     kChildTimeoutMs));
}

namespace {

struct GateCase {
    const char* name;
    std::string answer;
    std::vector<std::string> delivered;
    const char* denial;
};

void PrintTo(const GateCase& gateCase, std::ostream* out) { *out << gateCase.name; }

class SwitchesGate : public ::testing::TestWithParam<GateCase> {};

}  // namespace

TEST_P(SwitchesGate, RecordsOfADeniedKindAreDropped) {
    const GateCase& param = GetParam();
    TempDir storage;
    CollectorProcess collector(settingsService(storage, param.answer));
    ASSERT_EQ(0, runInChild(
                     [&] {
                         pointSettingsAt(collector);
                         qm_platform::startLogCapture();
                         // Held back: the set-up, settings included, runs before any record.
                         if (initMain(collector, storage, true) != 0) return 2;
                         QuillMarkSendLog(QUILLMARK_ERROR, "normal record");
                         QueuedRecord crash;
                         if (!LibraryState::process().registry.recordFields("quillmark-user", crash,
                                                                            nullptr)) {
                             return 3;
                         }
                         crash.own["body"] = "crash record";
                         crash.own["logLevel"] = "FATAL";
                         crash.own["DmpData"] = "TURNUAA=";
                         if (!sender()->push(crash)) return 4;
                         QuillMarkStartSendThread();
                         QuillMarkDestroy();
                         return logged(param.denial) ? 0 : 5;
                     },
                     kChildTimeoutMs));
    EXPECT_EQ(param.delivered, qm_test::bodiesOf(collector.records()));
}

// A session record without "DmpData" is a normal record as well.
INSTANTIATE_TEST_SUITE_P(Kinds, SwitchesGate,
                         ::testing::Values(GateCase{"DenyNormal",
                                                    answerWith(sections(kOff, kOn, kOn, kOff)),
                                                    {"crash record"},
                                                    "deny normal"},
                                           GateCase{"DenyCrash",
                                                    answerWith(sections(kOn, kOff, kOn, kOff)),
                                                    {"CREATE SESSION", "normal record"},
                                                    "deny crash"},
                                           GateCase{"DenySession",
                                                    answerWith(sections(kOn, kOn, kOff, kOff)),
                                                    {"normal record", "crash record"},
                                                    "deny session"}),
                         [](const ::testing::TestParamInfo<GateCase>& info) {
                             return info.param.name;
                         });
