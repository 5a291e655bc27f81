// Remote settings through the scripted collector, which answers the settings GET with the text
// a row gives: what each answer does to the switches of "quillmark-user", to the cache
// "NetworkInsight.db" and to the URLs handed on, and how the switches gate the records. The
// library runs in this process on a state of its own.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "support/file_text.h"
#include "support/record_queries.h"
#include "support/scripted_library.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "transport/remoteSettings.h"
#include "util/jsonText.h"

using qm_test::ScriptedCollector;
using qm_test::ScriptedLibrary;
using qm_test::SeenRequest;
using qm_test::TempDir;
using qm_test::writeFileText;

namespace {

const int kDeliveryMs = 10000;
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

std::string cacheFile(const TempDir& storage, const std::string& project = kProject) {
    return storage.path() + "/quillmark/" + project + "/NetworkInsight.db";
}

std::string compact(const std::string& json) {
    Json::Value value;
    jsonText::parse(json, value);
    return jsonText::writeCompact(value);
}

// Settings GETs get what `get` answers; posts are taken.
ScriptedCollector::Responder serving(const ScriptedCollector::Responder& get) {
    return [get](const SeenRequest& request, const ExchangeDeadline& deadline) {
        return request.get ? get(request, deadline)
                           : ScriptedCollector::acceptAll()(request, deadline);
    };
}

ScriptedCollector::Responder serving(const std::string& answer) {
    return serving(ScriptedCollector::always(200, answer));
}

std::string switchesOf(const LibraryState& state, const std::string& channel) {
    Handler snapshot;
    if (!state.registry.snapshot(channel, snapshot)) return "none";
    std::string flags;
    for (bool flag :
         {snapshot.m_isNormalEnable, snapshot.m_isCrashEnable, snapshot.m_isSessionEnable}) {
        flags += flag ? '1' : '0';
    }
    return flags;
}

// At whichever priority: a failure is logged at WARN, the rest at INFO.
bool logged(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&text](const std::string& line) {
        return line.size() > 1 && line.compare(1, std::string::npos, "/NDK: " + text) == 0;
    });
}

// The URLs of the settings GETs the script saw.
std::vector<std::string> settingsRequests(const ScriptedCollector& collector) {
    std::vector<std::string> urls;
    for (const SeenRequest& request : collector.requests()) {
        if (request.get) urls.push_back(request.url);
    }
    return urls;
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
    ScriptedLibrary library(serving(kMarkerAnswer));
    ASSERT_EQ(0, library.init(kProject, storage.path(), false));
    ASSERT_TRUE(qm_test::waitUntil(
        [&] { return switchesOf(library.state, VESK_CHANNEL_USER) == kMarker; }, kDeliveryMs));
    library.core.destory();  // no pass of the sending thread from here on
    const std::string cache = cacheFile(storage);
    if (param.cache == Cache::Removed) std::filesystem::remove(cache);
    if (param.cache != Cache::Kept && param.cache != Cache::Removed) {
        writeFileText(cache, cacheContent(param.cache));
    }
    library.collector.setResponder(param.unreachable ? serving(ScriptedCollector::unreachable())
                                                     : serving(param.answer));
    const std::unique_ptr<CollectorTransport> transport = library.state.transports();
    RemoteSettings settings(library.state.registry, *transport,
                            library.state.settings.settingsEndpoints());
    qm_platform::startLogCapture();
    const std::vector<std::string> urls =
        settings.fetchAndApply(ScriptedLibrary::kAddress, kProject);
    const std::vector<std::string> lines = qm_platform::capturedLogLines();
    qm_platform::stopLogCapture();

    EXPECT_EQ(param.flags, switchesOf(library.state, VESK_CHANNEL_USER));
    const std::string cacheNow = qm_test::readFileText(cache);
    if (param.cacheAfter == CacheAfter::Replaced) {
        EXPECT_EQ(compact(param.answer), cacheNow);
    } else if (param.cache == Cache::Kept) {
        EXPECT_EQ(compact(kMarkerAnswer), cacheNow);
    } else if (param.cache == Cache::Removed) {
        EXPECT_FALSE(std::filesystem::exists(cache));
    } else {
        EXPECT_EQ(cacheContent(param.cache), cacheNow);
    }
    std::vector<std::string> messages;
    for (const char* message :
         {"Settings API Connection Faield", "Settings status not 200",
          "Settings answer of another shape", "loadSettings", "setDefaultSettings"}) {
        if (logged(lines, message)) messages.push_back(message);
    }
    EXPECT_EQ(param.messages, messages);
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

// Each sending thread asks once, at the set-up of its first channel other than "Corvane"; a
// collector address holding the alternative collector's IP, even inside a longer text, is
// served by the alternative service, whose configured port wins over the one in its URL.
TEST(RemoteSettings, AskedOncePerSenderAtTheDefaultOrAlternativeEndpoint) {
    RemoteSettings::Endpoints endpoints;
    endpoints.url = "http://settings.test";
    endpoints.port = 81;
    endpoints.altCollectorIp = "192.0.2.10";
    endpoints.altUrl = "http://settings-alt.test:1/";
    endpoints.altPort = 82;
    TempDir storage;
    {
        ScriptedLibrary library(serving(answerWith(sections(kOn, kOn, kOn, kOff))));
        library.state.settings.setSettingsEndpoints(endpoints);
        for (const char* channel : {VESK_CHANNEL_CORVANE, VESK_CHANNEL_USER, "third"}) {
            ASSERT_EQ(0, library.init(kProject, storage.path(), false, channel));
        }
        library.core.sendLog(VESK_LL_INFO, "after set-up", VESK_CHANNEL_USER);
        ASSERT_TRUE(library.collector.waitForRecords(3, kDeliveryMs));
        library.core.destory();
        EXPECT_EQ(settingsRequests(library.collector),
                  std::vector<std::string>{"http://settings.test:81/v2/SetApp/logsconf"});
    }
    endpoints.altCollectorIp = "27.0.0";
    ScriptedLibrary library(serving(answerWith(sections(kOn, kOn, kOn, kOff))));
    library.state.settings.setSettingsEndpoints(endpoints);
    ASSERT_EQ(0, library.init(kProject, storage.path(), false));
    ASSERT_TRUE(library.collector.waitForRecords(1, kDeliveryMs));
    library.core.destory();
    EXPECT_EQ(settingsRequests(library.collector),
              std::vector<std::string>{"http://settings-alt.test:82/v2/settings/SetApp/logsconf"});
}

TEST(RemoteSettings, OnlyTheDefaultChannelFollowsTheSettings) {
    TempDir storage;
    ScriptedLibrary library(serving(answerWith(sections(kOff, kOff, kOff, kOn))));
    ASSERT_EQ(0, library.init(kProject, storage.path(), false, "other"));
    ASSERT_TRUE(library.collector.waitForRecords(1, kDeliveryMs));
    library.core.destory();
    EXPECT_EQ("111", switchesOf(library.state, "other"));
    EXPECT_EQ(1u, settingsRequests(library.collector).size());
    EXPECT_FALSE(std::filesystem::exists(cacheFile(storage)));
}

TEST(RemoteSettings, ServiceThatNeverAnswersHoldsTheSendingThreadTenSecondsAtMost) {
    TempDir storage;
    ScriptedLibrary library(serving(ScriptedCollector::stall()));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, library.init(kProject, storage.path(), false));
    ASSERT_TRUE(library.collector.waitForRecords(1, 2 * kDeliveryMs));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(9));
    EXPECT_LE(waited, std::chrono::seconds(15));
    EXPECT_EQ(kDefaults, switchesOf(library.state, VESK_CHANNEL_USER));
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
    ScriptedLibrary library(serving(param.answer));
    qm_platform::startLogCapture();
    // Held back: the set-up, settings included, runs before any record.
    ASSERT_EQ(0, library.init(kProject, storage.path(), true));
    library.core.sendLog(VESK_LL_ERROR, "normal record", VESK_CHANNEL_USER);
    QueuedRecord crash;
    ASSERT_TRUE(library.state.registry.recordFields(VESK_CHANNEL_USER, crash, nullptr));
    crash.own["body"] = "crash record";
    crash.own["logLevel"] = "FATAL";
    crash.own["DmpData"] = "TURNUAA=";
    ASSERT_TRUE(library.core.sender()->push(crash));
    library.core.startSendThread();
    library.core.destory();
    EXPECT_TRUE(logged(qm_platform::capturedLogLines(), param.denial));
    qm_platform::stopLogCapture();
    EXPECT_EQ(param.delivered, qm_test::bodiesOf(library.collector.records()));
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
