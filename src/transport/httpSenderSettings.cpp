// Remote settings: the settings service says which kinds of records "quillmark-user" may
// send. It is asked once per sender; a valid answer is cached in the channel's directory for
// starts without a usable answer (none, not JSON, another status, members of other types), and
// built-in defaults apply only when there is no usable cache either.
#include <curl/curl.h>
#include <json/value.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/exchangeDeadline.h"
#include "transport/httpSender.h"
#include "util/curlEasy.h"
#include "util/jsonText.h"
#include "util/noDestructor.h"
#include "util/uniqueFile.h"
#include "util/utilLog.h"

namespace {

const char* const kMainChannel = "quillmark-user";
const char* const kCacheFileName = "/NetworkInsight.db";
const int kValidStatus = 200;
const long kSettingsTimeoutSeconds = 10;

// A member of the answer that is there but of a type the settings cannot be read from.
struct SettingsShapeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct EndpointStore {
    std::mutex mutex;
    HttpSender::SettingsEndpoints endpoints{QUILLMARK_SETTINGS_URL, QUILLMARK_SETTINGS_PORT,
                                            QUILLMARK_ALT_COLLECTOR_IP, QUILLMARK_ALT_SETTINGS_URL,
                                            QUILLMARK_ALT_SETTINGS_PORT};
};

EndpointStore& endpointStore() {
    static NoDestructor<EndpointStore> store;
    return *store;
}

struct SettingsAnswer {
    std::string body;
    bool tooLong = false;
};

// Refusing a chunk ends the transfer: an answer beyond the bound is not worth waiting for.
size_t collectAnswer(void* data, size_t size, size_t count, void* target) {
    auto* answer = static_cast<SettingsAnswer*>(target);
    const size_t total = size * count;
    if (total > HttpSender::kMaxSettingsBytes - answer->body.size()) {
        answer->tooLong = true;
        return 0;
    }
    try {
        answer->body.append(static_cast<const char*>(data), total);
    } catch (const std::exception&) {
        answer->tooLong = true;
        return 0;
    }
    return total;
}

// A shutdown's cut-off ends the request like any exchange with the collector.
int abortAtCutOff(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return ExchangeDeadline::cutOffPassed() ? 1 : 0;
}

struct SettingsRequest {
    std::string url;
    long port = 0;
};

SettingsRequest settingsRequestFor(const std::string& addr, const std::string& projectName) {
    const HttpSender::SettingsEndpoints endpoints = HttpSender::settingsEndpoints();
    const std::string& altIp = endpoints.altCollectorIp;
    if (!altIp.empty() && addr.find(altIp) != std::string::npos) {
        return {endpoints.altUrl + "/v2/settings/" + projectName + "/logsconf", endpoints.altPort};
    }
    return {endpoints.url + "/v2/" + projectName + "/logsconf", endpoints.port};
}

// False when no request handle could be made. An answer that did not arrive, or arrived only
// in part, is left empty.
bool fetchSettings(const SettingsRequest& request, std::string& answerText) {
    CurlHandle curl = newCurlHandle();
    if (!curl) return false;
    const CurlHeaders headers = jsonHeaders(false);
    SettingsAnswer answer;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "GET");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kSettingsTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectAnswer);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(handle, CURLOPT_PORT, request.port);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, abortAtCutOff);
    setTlsVerification(handle, HttpSender::m_tlsVerify);
    const CURLcode result = curl_easy_perform(handle);
    if (result == CURLE_OK && !answer.tooLong) answerText.swap(answer.body);
    return true;
}

// Comments are allowed. Nesting deeper than the reader allows counts as no JSON.
bool parseSettings(const std::string& text, Json::Value& root) {
    try {
        return jsonText::parse(text, root);
    } catch (const std::exception&) {
        return false;
    }
}

// The object under key, or null when it is missing; anything else is an error of shape.
const Json::Value& sectionOf(const Json::Value& parent, const char* key) {
    if (!parent.isObject() && !parent.isNull()) throw SettingsShapeError(key);
    const Json::Value& section = parent[key];
    if (!section.isObject() && !section.isNull()) throw SettingsShapeError(key);
    return section;
}

int statusOf(const Json::Value& root) {
    if (!root.isObject() && !root.isNull()) throw SettingsShapeError("answer");
    const Json::Value& status = root["status"];
    if (!status.isConvertibleTo(Json::intValue)) throw SettingsShapeError("status");
    return status.asInt();
}

// The service's switches follow the loose truth of its JSON: a text counts as on when it is
// not empty ("false" included), a number when it is not zero, a list when it has members.
bool switchOf(const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            return false;
        case Json::booleanValue:
            return value.asBool();
        case Json::intValue:
            return value.asLargestInt() != 0;
        case Json::uintValue:
            return value.asLargestUInt() != 0;
        case Json::realValue:
            return value.asDouble() != 0.0;
        case Json::stringValue:
            return !value.asString().empty();
        default:
            return !value.empty();
    }
}

bool sectionEnabled(const Json::Value& result, const char* section) {
    return switchOf(sectionOf(result, section)["enable"]);
}

HttpSender::SettingsSwitches switchesOf(const Json::Value& root) {
    const Json::Value& result = sectionOf(root, "result");
    HttpSender::SettingsSwitches switches;
    switches.normal = sectionEnabled(result, "log");
    switches.crash = sectionEnabled(result, "crash");
    switches.session = sectionEnabled(result, "session");
    switches.networkInsight = sectionEnabled(result, "networkinsights");
    return switches;
}

bool urlText(const Json::Value& value, std::string& text) {
    if (value.isString()) {
        text = value.asString();
    } else if (value.isNull()) {
        text.clear();
    } else if (value.isBool()) {
        text = value.asBool() ? "true" : "false";
    } else {
        return false;
    }
    return true;
}

// The URLs in order, up to the first element that is not text; false when there was one.
bool insightUrlsOf(const Json::Value& root, std::vector<std::string>& urls) {
    const Json::Value& list = sectionOf(sectionOf(root, "result"), "networkinsights")["urls"];
    if (!list.isArray()) return true;
    for (const Json::Value& element : list) {
        std::string text;
        if (!urlText(element, text)) return false;
        urls.push_back(text);
    }
    return true;
}

// The whole cache; false when it is empty or longer than an answer may be.
bool readCache(FILE* file, std::string& text) {
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        if (got > HttpSender::kMaxSettingsBytes - text.size()) return false;
        text.append(buffer, got);
    }
    return !ferror(file) && !text.empty();
}

std::string settingsCachePath() {
    Handler channel;
    if (!HttpSender::getHandlerSnapshot(kMainChannel, channel)) return std::string();
    if (channel.m_directoryPath.empty()) return std::string();
    return channel.m_directoryPath + kCacheFileName;
}

}  // namespace

HttpSender::SettingsEndpoints HttpSender::settingsEndpoints() {
    EndpointStore& store = endpointStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.endpoints;
}

void HttpSender::setSettingsEndpoints(const SettingsEndpoints& endpoints) {
    EndpointStore& store = endpointStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.endpoints = endpoints;
}

// The jobs are queued by the settings request before start(), so the thread's first pass
// measures them all.
void HttpSender::startNetworkInsight(const Handler& channel) {
    if (channel.m_isCorvane || m_pPerformance) return;
    std::unique_ptr<vesk2Performance> created = newPerformanceThread();
    {
        std::lock_guard lock(m_mtxSvr);
        m_pPerformance = std::move(created);
    }
    if (m_pPerformance) {
        m_pPerformance->setTlsVerify(m_tlsVerify);
        m_pPerformance->initPerformance(
            channel.m_Addr, channel.m_Port, channel.m_projectName, channel.m_projectVersion,
            channel.m_logSource, insightHostOf(channel), channel.m_deviceID, channel.m_sdkVersion,
            channel.m_sessionID, channel.m_deviceModel);
    }
    getNetworkInsight(channel.m_Addr, channel.m_projectName);
    if (m_pPerformance) {
        m_pPerformance->start();
    } else {
        _warn_log("start failed");
    }
}

const vesk2Performance* HttpSender::performance() const {
    std::lock_guard lock(m_mtxSvr);
    return m_pPerformance.get();
}

// Null when there is no memory for it: the settings are still asked for, and a later set-up
// tries again.
std::unique_ptr<vesk2Performance> HttpSender::newPerformanceThread() {
    try {
        return std::make_unique<vesk2Performance>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The host of the records follows the channel's host switches, as its own records do.
std::string HttpSender::insightHostOf(const Handler& channel) {
    if (!channel.clientHost) return std::string();
    return channel.m_isEnableHost ? hostName() : "-";
}

void HttpSender::getNetworkInsight(const std::string& addr, const std::string& projectName) {
    m_mapList.clear();
    std::string answer;
    if (!fetchSettings(settingsRequestFor(addr, projectName), answer)) {
        _warn_log("libcurl initialize failed");
        loadSettings();
        return;
    }
    try {
        applySettingsAnswer(answer);
    } catch (const std::exception&) {
        _info_log("Settings answer of another shape");
        loadSettings();
    }
}

void HttpSender::applySettingsAnswer(const std::string& answer) {
    Json::Value root;
    if (!parseSettings(answer, root)) {
        _warn_log("Settings API Connection Faield");
        loadSettings();
        return;
    }
    if (statusOf(root) != kValidStatus) {
        _info_log("Settings status not 200");
        loadSettings();
        return;
    }
    const SettingsSwitches switches = switchesOf(root);
    if (!applySettingsSwitches(switches)) return;
    saveSettings(jsonText::writeCompact(root));
    if (!switches.networkInsight) return;
    std::vector<std::string> urls;
    const bool allText = insightUrlsOf(root, urls);
    if (!urls.empty()) handOverInsightUrls(urls);
    if (!allText) throw SettingsShapeError("urls");
}

bool HttpSender::applySettingsSwitches(const SettingsSwitches& switches) {
    {
        std::lock_guard lock(m_mtxSvr);
        Handler* channel = _findChannel(kMainChannel);
        if (channel == nullptr) return false;
        channel->m_isNormalEnable = switches.normal;
        channel->m_isCrashEnable = switches.crash;
        channel->m_isSessionEnable = switches.session;
    }
    crashRecordInputsChanged(kMainChannel);
    return true;
}

void HttpSender::saveSettings(const std::string& settingStr) {
    const std::string path = settingsCachePath();
    if (path.empty()) return;
    UniqueFile file(fopen(path.c_str(), "w"));
    if (!file) return;
    fwrite(settingStr.data(), 1, settingStr.size(), file.get());
}

// Only the switches come from the cache: URLs to measure are taken from a fresh answer alone.
// A cache that cannot be read or used counts as none.
void HttpSender::loadSettings() {
    const std::string path = settingsCachePath();
    UniqueFile file(path.empty() ? nullptr : fopen(path.c_str(), "r"));
    std::string text;
    Json::Value cached;
    if (file && readCache(file.get(), text) && parseSettings(text, cached)) {
        try {
            const SettingsSwitches switches = switchesOf(cached);
            _info_log("loadSettings");
            applySettingsSwitches(switches);
            return;
        } catch (const std::exception&) {
            // members of other types: no usable cache
        }
    }
    _info_log("setDefaultSettings");
    setDefaultSettings();
}

void HttpSender::setDefaultSettings() { applySettingsSwitches(SettingsSwitches()); }

void HttpSender::handOverInsightUrls(const std::vector<std::string>& urls) {
    if (m_onInsightUrls) m_onInsightUrls(urls);
    if (!m_pPerformance) return;
    for (size_t i = 0; i < urls.size(); ++i) {
        // A full queue stays full until the thread starts: the rest would be refused too.
        if (!m_pPerformance->push(MapValues{{std::to_string(i), urls[i]}})) return;
    }
}
