#include "transport/remoteSettings.h"

#include <json/value.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "transport/exchangeDeadline.h"
#include "util/boundedFile.h"
#include "util/collectorAddress.h"
#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

const char* const kCacheFileName = "/NetworkInsight.db";
const int kValidStatus = 200;
constexpr std::chrono::milliseconds kSettingsTimeout{10000};

// A member of the answer that is there but of a type the settings cannot be read from.
struct SettingsShapeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

RemoteSettings::Switches switchesOf(const Json::Value& root) {
    const Json::Value& result = sectionOf(root, "result");
    RemoteSettings::Switches switches;
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

}  // namespace

RemoteSettings::Endpoints RemoteSettings::builtInEndpoints() {
    return {QUILLMARK_SETTINGS_URL, QUILLMARK_SETTINGS_PORT, QUILLMARK_ALT_COLLECTOR_IP,
            QUILLMARK_ALT_SETTINGS_URL, QUILLMARK_ALT_SETTINGS_PORT};
}

RemoteSettings::RemoteSettings(ChannelRegistry& registry, CollectorTransport& transport,
                               Endpoints endpoints)
    : m_registry(registry), m_transport(transport), m_endpoints(std::move(endpoints)) {}

std::vector<std::string> RemoteSettings::fetchAndApply(const std::string& collectorAddress,
                                                       const std::string& projectName) {
    std::vector<std::string> urls;
    std::string answer;
    fetch(collectorAddress, projectName, answer);
    try {
        apply(answer, urls);
    } catch (const std::exception&) {
        _info_log("Settings answer of another shape");
        loadCached();
    }
    return urls;
}

// An answer that did not arrive, arrived only in part or is longer than kMaxSettingsBytes is
// left empty.
void RemoteSettings::fetch(const std::string& collectorAddress, const std::string& projectName,
                           std::string& answerText) {
    const std::string& altIp = m_endpoints.altCollectorIp;
    const bool alternative = !altIp.empty() && collectorAddress.find(altIp) != std::string::npos;
    const std::string& url = alternative ? m_endpoints.altUrl : m_endpoints.url;
    const long port = alternative ? m_endpoints.altPort : m_endpoints.port;
    std::optional<CollectorAddress> service = parseCollectorAddress(url, 0);
    if (!service) return;
    const std::string reserved = ".invalid";
    const std::string& host = service->host;
    m_unconfigured = host.size() >= reserved.size() &&
                     host.compare(host.size() - reserved.size(), reserved.size(), reserved) == 0;
    // The configured port wins over one in the address, as the service was always asked.
    if (port > 0 && port <= 65535) service->port = static_cast<uint16_t>(port);
    CollectorRequest request;
    request.get = true;
    request.target = *service;
    request.path = alternative ? "/v2/settings/" + projectName + "/logsconf"
                               : "/v2/" + projectName + "/logsconf";
    request.maxAnswerBytes = kMaxSettingsBytes;
    const ExchangeDeadline deadline(kSettingsTimeout);
    if (deadline.passed()) return;
    CollectorAnswer answer = m_transport.exchange(request, deadline);
    if (answer.complete && !answer.cut) answerText.swap(answer.body);
}

void RemoteSettings::apply(const std::string& answer, std::vector<std::string>& urls) {
    Json::Value root;
    if (!parseSettings(answer, root)) {
        if (m_unconfigured) {
            _info_log("Settings API Connection Faield");
        } else {
            _warn_log("Settings API Connection Faield");
        }
        loadCached();
        return;
    }
    if (statusOf(root) != kValidStatus) {
        _info_log("Settings status not 200");
        loadCached();
        return;
    }
    const Switches switches = switchesOf(root);
    if (!applySwitches(switches)) return;
    saveCache(jsonText::writeCompact(root));
    if (!switches.networkInsight) return;
    const bool allText = insightUrlsOf(root, urls);
    if (!allText) throw SettingsShapeError("urls");
}

bool RemoteSettings::applySwitches(const Switches& switches) {
    const bool known = m_registry.updateSwitch(VESK_CHANNEL_USER, [&](Handler& channel) {
        channel.m_isNormalEnable = switches.normal;
        channel.m_isCrashEnable = switches.crash;
        channel.m_isSessionEnable = switches.session;
    });
    if (known) m_registry.notifyCrashInputs(VESK_CHANNEL_USER);
    return known;
}

std::string RemoteSettings::cachePath() const {
    Handler channel;
    if (!m_registry.snapshot(VESK_CHANNEL_USER, channel)) return std::string();
    if (channel.m_directoryPath.empty()) return std::string();
    return channel.m_directoryPath + kCacheFileName;
}

void RemoteSettings::saveCache(const std::string& text) const {
    const std::string path = cachePath();
    if (path.empty()) return;
    boundedFile::writeWhole(path, text);
}

// Only the switches come from the cache: URLs to measure are taken from a fresh answer alone.
// A cache that cannot be read or used counts as none.
void RemoteSettings::loadCached() {
    const std::string path = cachePath();
    std::string text;
    Json::Value cached;
    if (!path.empty() && boundedFile::readWhole(path, kMaxSettingsBytes, text) && !text.empty() &&
        parseSettings(text, cached)) {
        try {
            const Switches switches = switchesOf(cached);
            _info_log("loadSettings");
            applySwitches(switches);
            return;
        } catch (const std::exception&) {
            // members of other types: no usable cache
        }
    }
    _info_log("setDefaultSettings");
    applySwitches(Switches());
}
