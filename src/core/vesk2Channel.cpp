// Operations on an initialised channel, the crash-catcher switches and the end of the core.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "core/vesk2.h"
#include "transport/exchangeDeadline.h"
#include "util/utilLog.h"

namespace {

// Fields the library sets itself: as custom keys they would replace them in every record and
// re-route it (a crash record, the session switch) or make its failures unstorable.
const char* const kReservedKeys[] = {
    "DmpData",  "logType", "logSource",  "logLevel",  "errorRate", "handlerName",    "body",
    "sendTime", "host",    "logVersion", "SessionID", "DeviceID",  VESK_KEY_LASTLOGS};

// Custom fields travel in every record of the channel and are encoded again whenever one
// changes: the bound keeps a record's custom part well inside what the journal takes (512 KiB)
// and keeps each change short on the app's thread.
constexpr size_t kMaxCustomField = 64 * 1024;    // key plus value
constexpr size_t kMaxCustomFields = 256 * 1024;  // every key and value of the channel

bool isReservedKey(const std::string& key) {
    return std::find(std::begin(kReservedKeys), std::end(kReservedKeys), key) !=
           std::end(kReservedKeys);
}

}  // namespace

bool VESK2Log::addGlobalField(const char* key, const char* value, const char* handlerName) {
    const std::string fieldKey = readText(key, "");
    const std::string fieldValue = readText(value, "");
    if (fieldKey.empty() || fieldValue.empty() || isReservedKey(fieldKey)) return false;
    if (fieldKey.size() + fieldValue.size() > kMaxCustomField) return false;
    const std::string name = readText(handlerName, "");
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return false;
    bool fits = false;
    const bool known = m_state.registry.update(name, [&](Handler& channel) {
        size_t total = fieldKey.size() + fieldValue.size();
        for (const auto& [key, value] : channel.m_custom_fields) {
            if (key != fieldKey) total += key.size() + value.size();
        }
        fits = total <= kMaxCustomFields;
        if (fits) channel.m_custom_fields[fieldKey] = fieldValue;
    });
    return known && fits;
}

void VESK2Log::delGlobalField(const char* key, const char* handlerName) {
    const std::string fieldKey = readText(key, "");
    if (fieldKey.empty()) return;
    const std::string name = readText(handlerName, "");
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return;
    m_state.registry.update(name,
                            [&](Handler& channel) { channel.m_custom_fields.erase(fieldKey); });
}

void VESK2Log::clearGlobalFields(const char* handlerName) {
    const std::string name = readText(handlerName, "");
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return;
    m_state.registry.update(name, [](Handler& channel) { channel.m_custom_fields.clear(); });
}

void VESK2Log::setLogLevel(VESK_LOG_LEVEL eLevel, const char* handlerName) {
    const std::string name = readText(handlerName, "");
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return;
    m_state.registry.updateSwitch(name,
                                  [eLevel](Handler& channel) { channel.m_elogLevel = eLevel; });
}

VESK_LOG_LEVEL VESK2Log::getLogLevel(const char* handlerName) {
    const std::string name = readText(handlerName, "");
    VESK_LOG_LEVEL level = VESK_LL_NONE;
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return level;
    m_state.registry.read(name, [&level](const Handler& channel) { level = channel.m_elogLevel; });
    return level;
}

const char* VESK2Log::getUserId(const char* handlerName) {
    const std::string name = readText(handlerName, "");
    std::string userId;
    {
        std::lock_guard lock(m_pLocker);
        if (!m_pSender) return nullptr;
        const bool known = m_state.registry.read(
            name, [&userId](const Handler& channel) { userId = channel.m_userId; });
        if (!known) return nullptr;
    }
    // The caller reads the text after the lock is gone, while another thread may set a new user
    // ID: it gets a copy of its own, per thread and channel, kept until its next call.
    thread_local std::map<std::string, std::string> copies;
    std::string& copy = copies[name];
    copy = std::move(userId);
    return copy.c_str();
}

void VESK2Log::setUserId(const char* userID, const char* handlerName) {
    const std::string name = readText(handlerName, "");
    // A null user ID clears it, like every other null text argument.
    const std::string userId = userID ? userID : "";
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return;
    m_state.registry.update(name, [&userId](Handler& channel) { channel.m_userId = userId; });
}

void VESK2Log::setDeduplicate(bool enable, const char* handlerName) {
    const std::string name = readText(handlerName, "");
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return;
    m_state.registry.updateSwitch(name,
                                  [enable](Handler& channel) { channel.m_isDeduplicate = enable; });
}

void VESK2Log::setEnableHost(bool enable, const std::string& name) {
    const bool known = m_state.registry.updateSwitch(
        name, [enable](Handler& channel) { channel.m_isEnableHost = enable; });
    if (!known) return;
    _info_log("set enable host : " + name + " " + (enable ? "true" : "false"));
    m_state.registry.notifyCrashInputs(name);
}

void VESK2Log::enableHost(bool enable, const char* handlerName) {
    std::lock_guard lock(m_pLocker);
    const std::string name = readText(handlerName, "");
    if (m_pSender && m_state.registry.contains(name)) {
        setEnableHost(enable, name);
        return;
    }
    m_state.rememberEnableHost(
        enable, handlerName != nullptr && std::string(handlerName) == VESK_CHANNEL_CORVANE);
}

bool VESK2Log::openCrashCatcher() { return gs_crashCatcher.openCrashCatcher(); }

void VESK2Log::setCrashCallback(crash_func_type fnCrashCallback, void* content) {
    gs_crashCatcher.initCrashCallback(fnCrashCallback, content);
}

void VESK2Log::closeCrashCatcher() {
    if (!m_pSender) return;
    std::lock_guard lock(m_pLocker);
    if (m_state.registry.contains(VESK_CHANNEL_USER)) gs_crashCatcher.closeCrashCatcher();
}

// Exchanges end by the cut-off, in progress or not begun; what they did not deliver and what
// is still queued then goes to local storage. The cut-off is lifted once the worker has ended,
// so a crash report after the end still gets its own full deadline.
void VESK2Log::destory() {
    if (!m_pSender) return;
    ExchangeDeadline::cutOffAt(ExchangeDeadline::Clock::now() + kDestroySendBound);
    m_pSender->stop();
    m_pSender->join();
    ExchangeDeadline::clearCutOff();
    m_state.store.reportLosses();
}
