#include "api/quillmark_impl.h"

#include <string_view>

// "SdkVersion" on the wire and the header's version are one number.
static_assert(std::string_view(VESK_SDK_VERSION) == QUILLMARK_VERSION_STRING);

namespace {
const char* const kUser = VESK_CHANNEL_USER;
const char* const kCorvane = VESK_CHANNEL_CORVANE;
}  // namespace

PlumeLogImpl::PlumeLogImpl() : vesk2Log(std::make_unique<VESK2Log>()) {}

PlumeLogImpl::~PlumeLogImpl() = default;

VESK_LOG_LEVEL PlumeLogImpl::toInternal(int publicLevel) {
    static const VESK_LOG_LEVEL kTable[] = {VESK_LL_FATAL, VESK_LL_DEBUG, VESK_LL_DEBUG,
                                            VESK_LL_ERROR, VESK_LL_WARN,  VESK_LL_INFO};
    const unsigned int index = static_cast<unsigned int>(publicLevel);
    return index < sizeof kTable / sizeof kTable[0] ? kTable[index] : VESK_LL_DEBUG;
}

QuillMarkLogLevel PlumeLogImpl::toPublic(VESK_LOG_LEVEL internalLevel) {
    switch (internalLevel) {
        case VESK_LL_FATAL:
            return QUILLMARK_FATAL;
        case VESK_LL_ERROR:
            return QUILLMARK_ERROR;
        case VESK_LL_WARN:
            return QUILLMARK_WARN;
        case VESK_LL_INFO:
            return QUILLMARK_INFO;
        default:
            return QUILLMARK_DEBUG;
    }
}

int32_t PlumeLogImpl::initialize(const char* appKey, const char* sdCardPath, const char* version,
                                 const char* collectorAddr, uint16_t collectorPort,
                                 const char* logSource, const char* logType, bool clientHost,
                                 bool asyncStart, const char* handleName) {
    return vesk2Log->initialize(appKey, sdCardPath, version, logSource, logType, collectorAddr,
                                collectorPort, clientHost, asyncStart, handleName);
}

void PlumeLogImpl::enableHost(bool enable) { vesk2Log->enableHost(enable, kUser); }
bool PlumeLogImpl::sendLog(QuillMarkLogLevel logLevel, const char* message) {
    return vesk2Log->sendLog(toInternal(logLevel), message, kUser);
}
bool PlumeLogImpl::addCustomKey(const char* key, const char* value) {
    return vesk2Log->addGlobalField(key, value, kUser);
}
void PlumeLogImpl::removeCustomKey(const char* key) { vesk2Log->delGlobalField(key, kUser); }
void PlumeLogImpl::clearCustomKeys() { vesk2Log->clearGlobalFields(kUser); }
QuillMarkLogLevel PlumeLogImpl::getLogLevel() { return toPublic(vesk2Log->getLogLevel(kUser)); }
void PlumeLogImpl::setLogLevel(QuillMarkLogLevel logLevel) {
    vesk2Log->setLogLevel(toInternal(logLevel), kUser);
}
const char* PlumeLogImpl::getUserId() { return vesk2Log->getUserId(kUser); }
void PlumeLogImpl::setUserId(const char* userId) { vesk2Log->setUserId(userId, kUser); }
void PlumeLogImpl::setDeduplicate(bool enable) { vesk2Log->setDeduplicate(enable, kUser); }

bool PlumeLogImpl::sendLog_Corvane(QuillMarkLogLevel logLevel, const char* message) {
    return vesk2Log->sendLog(toInternal(logLevel), message, kCorvane);
}
bool PlumeLogImpl::addCustomKey_Corvane(const char* key, const char* value) {
    return vesk2Log->addGlobalField(key, value, kCorvane);
}
void PlumeLogImpl::removeCustomKey_Corvane(const char* key) {
    vesk2Log->delGlobalField(key, kCorvane);
}
void PlumeLogImpl::clearCustomKeys_Corvane() { vesk2Log->clearGlobalFields(kCorvane); }
QuillMarkLogLevel PlumeLogImpl::getLogLevel_Corvane() {
    return toPublic(vesk2Log->getLogLevel(kCorvane));
}
void PlumeLogImpl::setLogLevel_Corvane(QuillMarkLogLevel logLevel) {
    vesk2Log->setLogLevel(toInternal(logLevel), kCorvane);
}
const char* PlumeLogImpl::getUserId_Corvane() { return vesk2Log->getUserId(kCorvane); }
void PlumeLogImpl::setUserId_Corvane(const char* userId) { vesk2Log->setUserId(userId, kCorvane); }
void PlumeLogImpl::setDeduplicate_Corvane(bool enable) {
    vesk2Log->setDeduplicate(enable, kCorvane);
}
void PlumeLogImpl::enableHost_Corvane(bool enable) { vesk2Log->enableHost(enable, kCorvane); }

void PlumeLogImpl::destroy() { vesk2Log->destory(); }
bool PlumeLogImpl::openCrashCatcher() { return vesk2Log->openCrashCatcher(); }
void PlumeLogImpl::closeCrashCatcher() { vesk2Log->closeCrashCatcher(); }
void PlumeLogImpl::setCrashCallback(QuillMarkCallbackType cb, void* cbData) {
    vesk2Log->setCrashCallback(cb, cbData);
}
void PlumeLogImpl::startSendThread() { vesk2Log->startSendThread(); }
