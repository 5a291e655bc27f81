// The log core: initialises channels, turns messages into records for the sending thread and
// forwards channel changes to the registry.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/libraryState.h"
#include "crash/veskCatcher.h"
#include "record/vesk2Define.h"
#include "thread/crossThread.h"
#include "transport/httpSender.h"

class VESK2Log {
public:
    explicit VESK2Log(LibraryState& state = LibraryState::process());
    ~VESK2Log();
    VESK2Log(const VESK2Log&) = delete;
    VESK2Log& operator=(const VESK2Log&) = delete;

    // 0, or -1 (null channel name, or the registration failed), -2 (bad key), -3 (bad
    // version), -4 (no address or not an http(s) collector URL), -5 (port out of range), -6
    // (the storage folder cannot be made or written).
    int initialize(const char* appKey, const char* sdCardPath, const char* version,
                   const char* logSource, const char* logType, const char* serverAddr,
                   int serverPort, bool clientHost, bool asyncStart, const char* handleName);
    // True when the record was queued; false when refused, when the queue was full, or when
    // no sending thread of this core takes records (never initialised, or destroyed).
    bool sendLog(VESK_LOG_LEVEL eLevel, const char* strMsg, const char* handlerName);
    void startSendThread();

    bool addGlobalField(const char* key, const char* value, const char* handlerName);
    void delGlobalField(const char* key, const char* handlerName);
    void clearGlobalFields(const char* handlerName);
    void setLogLevel(VESK_LOG_LEVEL eLevel, const char* handlerName);
    VESK_LOG_LEVEL getLogLevel(const char* handlerName);
    // A copy of the channel's user ID, owned by the calling thread and valid until its next
    // getUserId for the same channel; null when the channel is not registered.
    const char* getUserId(const char* handlerName);
    void setUserId(const char* userID, const char* handlerName);
    void setDeduplicate(bool enable, const char* handlerName);
    void enableHost(bool enable, const char* handlerName);
    bool openCrashCatcher();
    void setCrashCallback(crash_func_type fnCrashCallback, void* content);
    void closeCrashCatcher();
    // Returns within about kDestroySendBound plus the time to store what was not delivered:
    // exchanges still running then end, and every record not delivered is in local storage.
    void destory();
    static constexpr std::chrono::milliseconds kDestroySendBound{2000};

    // The sender, for tests that watch what it does.
    HttpSender* sender() { return m_pSender.get(); }
    LibraryState& state() { return m_state; }

private:
    // The channel's host switch; the crash record follows it.
    void setEnableHost(bool enable, const std::string& name);
    // A text argument read (null -> default), trimmed and made UTF-8.
    static std::string readText(const char* text, const std::string& defaultValue);
    // The same, with defaultValue also for text that reads as empty.
    static std::string readTextOr(const char* text, const std::string& defaultValue);

    // Serialises the channel operations of this core; sendLog does not take it.
    std::mutex m_pLocker;
    LibraryState& m_state;
    std::unique_ptr<HttpSender> m_pSender;
};
