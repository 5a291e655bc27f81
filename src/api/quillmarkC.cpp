// The C functions: each fetches the facade (creating it when needed) and calls one operation.
#include "api/quillmark_impl.h"

namespace {

int32_t asInt(bool value) { return value ? 1 : 0; }

}  // namespace

extern "C" {

QUILLMARK_API int32_t QuillMarkInitialize(const char* appKey, const char* sdCardPath,
                                          const char* version, const char* collectorAddr,
                                          uint16_t collectorPort, const char* logSource,
                                          const char* logType, bool clientHost, bool asyncStart,
                                          const char* handlerName) {
    return GetPlumeLog()->initialize(appKey, sdCardPath, version ? version : "1.0.0",
                                     collectorAddr ? collectorAddr : QUILLMARK_DEFAULT_COLLECTOR,
                                     collectorPort == 0 ? 80 : collectorPort,
                                     logSource ? logSource : "quillmark-linux",
                                     logType ? logType : "quillmark-log", clientHost, asyncStart,
                                     handlerName ? handlerName : VESK_CHANNEL_USER);
}

QUILLMARK_API void QuillMarkDestroy(void) { DestroyPlumeLog(); }

QUILLMARK_API int32_t QuillMarkSendLog(QuillMarkLogLevel logLevel, const char* message) {
    return asInt(GetPlumeLog()->sendLog(logLevel, message));
}

QUILLMARK_API int32_t QuillMarkAddCustomKey(const char* key, const char* value) {
    return asInt(GetPlumeLog()->addCustomKey(key, value));
}

QUILLMARK_API void QuillMarkRemoveCustomKey(const char* key) {
    GetPlumeLog()->removeCustomKey(key);
}

QUILLMARK_API void QuillMarkClearCustomKeys(void) { GetPlumeLog()->clearCustomKeys(); }

QUILLMARK_API void QuillMarkStartSendThread(void) { GetPlumeLog()->startSendThread(); }

QUILLMARK_API QuillMarkLogLevel QuillMarkGetLogLevel(void) { return GetPlumeLog()->getLogLevel(); }

QUILLMARK_API void QuillMarkSetLogLevel(QuillMarkLogLevel logLevel) {
    GetPlumeLog()->setLogLevel(logLevel);
}

QUILLMARK_API const char* QuillMarkGetUserId(void) { return GetPlumeLog()->getUserId(); }

QUILLMARK_API void QuillMarkSetUserId(const char* userId) { GetPlumeLog()->setUserId(userId); }

QUILLMARK_API int32_t QuillMarkOpenCrashCatcher(void) {
    return asInt(GetPlumeLog()->openCrashCatcher());
}

QUILLMARK_API void QuillMarkCloseCrashCatcher(void) { GetPlumeLog()->closeCrashCatcher(); }

QUILLMARK_API void QuillMarkSetCrashCallback(QuillMarkCallbackType cb, void* cbData) {
    GetPlumeLog()->setCrashCallback(cb, cbData);
}

QUILLMARK_API void QuillMarkSetDeduplicate(bool enable) { GetPlumeLog()->setDeduplicate(enable); }

QUILLMARK_API void QuillMarkEnableHost(bool enable) { GetPlumeLog()->enableHost(enable); }

}  // extern "C"
