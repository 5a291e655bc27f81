#include "api/quillmark_impl.h"

#include <string_view>

#include "record/veskConvert.h"
#include "thread/forkGuard.h"
#include "util/utilLog.h"

// "SdkVersion" on the wire and the header's version are one number.
static_assert(std::string_view(VESK_SDK_VERSION) == QUILLMARK_VERSION_STRING);

namespace {
const char* const kUser = VESK_CHANNEL_USER;
const char* const kCorvane = VESK_CHANNEL_CORVANE;
}  // namespace

PlumeLogImpl::PlumeLogImpl(LibraryState& state) : vesk2Log(std::make_unique<VESK2Log>(state)) {}

PlumeLogImpl::PlumeLogImpl(Refusing) {}

PlumeLogImpl::~PlumeLogImpl() = default;

// A public level and the internal level of the same name are one value, so the record's level
// table converts both ways.
static_assert(static_cast<int>(VESK_LL_FATAL) == QUILLMARK_FATAL &&
              static_cast<int>(VESK_LL_ERROR) == QUILLMARK_ERROR &&
              static_cast<int>(VESK_LL_WARN) == QUILLMARK_WARN &&
              static_cast<int>(VESK_LL_INFO) == QUILLMARK_INFO &&
              static_cast<int>(VESK_LL_DEBUG) == QUILLMARK_DEBUG);

VESK_LOG_LEVEL PlumeLogImpl::toInternal(int publicLevel) {
    return VeskConvert::namedLevel(publicLevel);
}

QuillMarkLogLevel PlumeLogImpl::toPublic(VESK_LOG_LEVEL internalLevel) {
    return static_cast<QuillMarkLogLevel>(VeskConvert::namedLevel(internalLevel));
}

template <typename Result, typename Operation>
Result PlumeLogImpl::guarded(Result failure, Operation&& operation) noexcept {
    if (!vesk2Log || Threads::inForkedChild()) return failure;
    try {
        return operation(*vesk2Log);
    } catch (...) {
        try {
            _error_log("operation failed with an exception");
        } catch (...) {
        }
        return failure;
    }
}

template <typename Operation>
void PlumeLogImpl::guarded(Operation&& operation) noexcept {
    guarded(0, [&operation](VESK2Log& core) {
        operation(core);
        return 0;
    });
}

// An exception in initialise reports the first failure code; nothing else fits better.
int32_t PlumeLogImpl::initialize(const char* appKey, const char* sdCardPath, const char* version,
                                 const char* collectorAddr, uint16_t collectorPort,
                                 const char* logSource, const char* logType, bool clientHost,
                                 bool asyncStart, const char* handleName) {
    return guarded(int32_t{-1}, [&](VESK2Log& core) {
        return core.initialize(appKey, sdCardPath, version, logSource, logType, collectorAddr,
                               collectorPort, clientHost, asyncStart, handleName);
    });
}

void PlumeLogImpl::enableHost(bool enable) {
    guarded([&](VESK2Log& core) { core.enableHost(enable, kUser); });
}
bool PlumeLogImpl::sendLog(QuillMarkLogLevel logLevel, const char* message) {
    return guarded(
        false, [&](VESK2Log& core) { return core.sendLog(toInternal(logLevel), message, kUser); });
}
bool PlumeLogImpl::addCustomKey(const char* key, const char* value) {
    return guarded(false, [&](VESK2Log& core) { return core.addGlobalField(key, value, kUser); });
}
void PlumeLogImpl::removeCustomKey(const char* key) {
    guarded([&](VESK2Log& core) { core.delGlobalField(key, kUser); });
}
void PlumeLogImpl::clearCustomKeys() {
    guarded([&](VESK2Log& core) { core.clearGlobalFields(kUser); });
}
QuillMarkLogLevel PlumeLogImpl::getLogLevel() {
    return guarded(QUILLMARK_DEBUG,
                   [&](VESK2Log& core) { return toPublic(core.getLogLevel(kUser)); });
}
void PlumeLogImpl::setLogLevel(QuillMarkLogLevel logLevel) {
    guarded([&](VESK2Log& core) { core.setLogLevel(toInternal(logLevel), kUser); });
}
const char* PlumeLogImpl::getUserId() {
    return guarded(static_cast<const char*>(nullptr),
                   [&](VESK2Log& core) { return core.getUserId(kUser); });
}
void PlumeLogImpl::setUserId(const char* userId) {
    guarded([&](VESK2Log& core) { core.setUserId(userId, kUser); });
}
void PlumeLogImpl::setDeduplicate(bool enable) {
    guarded([&](VESK2Log& core) { core.setDeduplicate(enable, kUser); });
}

bool PlumeLogImpl::sendLog_Corvane(QuillMarkLogLevel logLevel, const char* message) {
    return guarded(false, [&](VESK2Log& core) {
        return core.sendLog(toInternal(logLevel), message, kCorvane);
    });
}
bool PlumeLogImpl::addCustomKey_Corvane(const char* key, const char* value) {
    return guarded(false,
                   [&](VESK2Log& core) { return core.addGlobalField(key, value, kCorvane); });
}
void PlumeLogImpl::removeCustomKey_Corvane(const char* key) {
    guarded([&](VESK2Log& core) { core.delGlobalField(key, kCorvane); });
}
void PlumeLogImpl::clearCustomKeys_Corvane() {
    guarded([&](VESK2Log& core) { core.clearGlobalFields(kCorvane); });
}
QuillMarkLogLevel PlumeLogImpl::getLogLevel_Corvane() {
    return guarded(QUILLMARK_DEBUG,
                   [&](VESK2Log& core) { return toPublic(core.getLogLevel(kCorvane)); });
}
void PlumeLogImpl::setLogLevel_Corvane(QuillMarkLogLevel logLevel) {
    guarded([&](VESK2Log& core) { core.setLogLevel(toInternal(logLevel), kCorvane); });
}
const char* PlumeLogImpl::getUserId_Corvane() {
    return guarded(static_cast<const char*>(nullptr),
                   [&](VESK2Log& core) { return core.getUserId(kCorvane); });
}
void PlumeLogImpl::setUserId_Corvane(const char* userId) {
    guarded([&](VESK2Log& core) { core.setUserId(userId, kCorvane); });
}
void PlumeLogImpl::setDeduplicate_Corvane(bool enable) {
    guarded([&](VESK2Log& core) { core.setDeduplicate(enable, kCorvane); });
}
void PlumeLogImpl::enableHost_Corvane(bool enable) {
    guarded([&](VESK2Log& core) { core.enableHost(enable, kCorvane); });
}

void PlumeLogImpl::destroy() {
    guarded([](VESK2Log& core) { core.destory(); });
}
bool PlumeLogImpl::openCrashCatcher() {
    return guarded(false, [](VESK2Log& core) { return core.openCrashCatcher(); });
}
void PlumeLogImpl::closeCrashCatcher() {
    guarded([](VESK2Log& core) { core.closeCrashCatcher(); });
}
void PlumeLogImpl::setCrashCallback(QuillMarkCallbackType cb, void* cbData) {
    guarded([&](VESK2Log& core) { core.setCrashCallback(cb, cbData); });
}
void PlumeLogImpl::startSendThread() {
    guarded([](VESK2Log& core) { core.startSendThread(); });
}
