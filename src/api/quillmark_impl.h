// The facade behind the exported interface: names the channel of each call, converts public
// levels and forwards to the log core. No exception leaves an operation, and in a child forked
// after the library started every operation returns its failure value at once: such a child
// has no sending thread, and a lock held at the fork would never be released.
#pragma once

#include <memory>

#include "core/vesk2.h"
#include "plume/quillmark.h"

class PlumeLogImpl : public plume::quillmark::PlumeLog {
public:
    // The facade of the process's library, or of a state of the caller's own, which must
    // outlive it.
    explicit PlumeLogImpl(LibraryState& state = LibraryState::process());
    // A facade without a core, whose every operation returns its failure value.
    struct Refusing {};
    explicit PlumeLogImpl(Refusing);
    virtual ~PlumeLogImpl();

    int32_t initialize(const char* appKey, const char* sdCardPath, const char* version,
                       const char* collectorAddr, uint16_t collectorPort, const char* logSource,
                       const char* logType, bool clientHost, bool asyncStart,
                       const char* handleName) override;
    void enableHost(bool enable) override;
    bool sendLog(QuillMarkLogLevel logLevel, const char* message) override;
    bool addCustomKey(const char* key, const char* value) override;
    void removeCustomKey(const char* key) override;
    void clearCustomKeys() override;
    QuillMarkLogLevel getLogLevel() override;
    void setLogLevel(QuillMarkLogLevel logLevel) override;
    const char* getUserId() override;
    void setUserId(const char* userId) override;
    void setDeduplicate(bool enable) override;
    bool sendLog_Corvane(QuillMarkLogLevel logLevel, const char* message) override;
    bool addCustomKey_Corvane(const char* key, const char* value) override;
    void removeCustomKey_Corvane(const char* key) override;
    void clearCustomKeys_Corvane() override;
    QuillMarkLogLevel getLogLevel_Corvane() override;
    void setLogLevel_Corvane(QuillMarkLogLevel logLevel) override;
    const char* getUserId_Corvane() override;
    void setUserId_Corvane(const char* userId) override;
    void setDeduplicate_Corvane(bool enable) override;
    void enableHost_Corvane(bool enable) override;
    void destroy() override;
    bool openCrashCatcher() override;
    void closeCrashCatcher() override;
    void setCrashCallback(QuillMarkCallbackType cb, void* cbData) override;
    void startSendThread() override;

    VESK2Log* core() { return vesk2Log.get(); }

    // Public level -> internal level: FATAL, ERROR, WARN and INFO keep their value, every
    // other value becomes DEBUG.
    static VESK_LOG_LEVEL toInternal(int publicLevel);
    // Internal level -> public level: FATAL, ERROR, WARN and INFO keep their value, every
    // other value becomes DEBUG.
    static QuillMarkLogLevel toPublic(VESK_LOG_LEVEL internalLevel);

private:
    // The operation's result, or `failure` without a core, in a forked child or when the
    // operation threw.
    template <typename Result, typename Operation>
    Result guarded(Result failure, Operation&& operation) noexcept;
    template <typename Operation>
    void guarded(Operation&& operation) noexcept;

    std::unique_ptr<VESK2Log> vesk2Log;
};

// The one facade of the process, or null.
PlumeLogImpl* currentPlumeLog();
