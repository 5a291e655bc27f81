/*
 * QuillMark: ships an application's logs and native crashes to a remote log collector.
 *
 * C applications use the sixteen QuillMark* functions. C++ applications may also use the
 * interface plume::quillmark::PlumeLog obtained from GetPlumeLog().
 */
#ifndef PLUME_QUILLMARK_H
#define PLUME_QUILLMARK_H

/* The library's version. The build reads it from here; the SONAME's number is the ABI's. */
#define QUILLMARK_VERSION_MAJOR 2
#define QUILLMARK_VERSION_MINOR 6
#define QUILLMARK_VERSION_PATCH 2
#define QUILLMARK_VERSION_STRING "2.6.2"

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(QUILLMARK_BUILDING_LIBRARY)
#define QUILLMARK_API __attribute__((visibility("default")))
#else
#define QUILLMARK_API
#endif

/* In C++ the levels have a fixed int base, so any integer a caller passes is a valid value. */
#ifdef __cplusplus
#define QUILLMARK_ENUM_BASE : int
#else
#define QUILLMARK_ENUM_BASE
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum QuillMarkLogLevel QUILLMARK_ENUM_BASE {
    QUILLMARK_FATAL = 0,
    QUILLMARK_ERROR = 3,
    QUILLMARK_WARN = 4,
    QUILLMARK_INFO = 5,
    QUILLMARK_DEBUG = 7,
    QUILLMARK_TRACE = 7
} QuillMarkLogLevel;

typedef enum QuillMarkLangType QUILLMARK_ENUM_BASE {
    QUILLMARK_LANG_DEFAULT = 0,
    QUILLMARK_LANG_ENGLISH = 1,
    QUILLMARK_LANG_KOREAN = 2,
    QUILLMARK_LANG_JAPANESE = 3,
    QUILLMARK_LANG_CHINESE = 4,
    QUILLMARK_LANG_CHINESE_TRADITIONAL = 5,
    QUILLMARK_LANG_CHINESE_SIMPLIFIED = 4
} QuillMarkLangType;

/* Crash callback: runs on the crashing thread after the dump was written and read. */
typedef void (*QuillMarkCallbackType)(void* cbData);

/*
 * Initialises one log channel. Null arguments take defaults: version "1.0.0", the built-in
 * collector address, port 80 for 0, source "quillmark-linux", type "quillmark-log", channel
 * "quillmark-user". Returns 0, or -2 (bad appKey), -3 (bad version), -4 (no address),
 * -5 (port out of range).
 */
QUILLMARK_API int32_t QuillMarkInitialize(const char* appKey, const char* sdCardPath,
                                          const char* version, const char* collectorAddr,
                                          uint16_t collectorPort, const char* logSource,
                                          const char* logType, bool clientHost, bool asyncStart,
                                          const char* handlerName);
QUILLMARK_API void QuillMarkDestroy(void);
/* 1 when the record was queued for sending, 0 when it was refused or the queue was full. */
QUILLMARK_API int32_t QuillMarkSendLog(QuillMarkLogLevel logLevel, const char* message);
QUILLMARK_API int32_t QuillMarkAddCustomKey(const char* key, const char* value);
QUILLMARK_API void QuillMarkRemoveCustomKey(const char* key);
QUILLMARK_API void QuillMarkClearCustomKeys(void);
QUILLMARK_API void QuillMarkStartSendThread(void);
QUILLMARK_API QuillMarkLogLevel QuillMarkGetLogLevel(void);
QUILLMARK_API void QuillMarkSetLogLevel(QuillMarkLogLevel logLevel);
QUILLMARK_API const char* QuillMarkGetUserId(void);
QUILLMARK_API void QuillMarkSetUserId(const char* userId);
QUILLMARK_API int32_t QuillMarkOpenCrashCatcher(void);
QUILLMARK_API void QuillMarkCloseCrashCatcher(void);
QUILLMARK_API void QuillMarkSetCrashCallback(QuillMarkCallbackType cb, void* cbData);
QUILLMARK_API void QuillMarkSetDeduplicate(bool enable);
QUILLMARK_API void QuillMarkEnableHost(bool enable);

#ifdef __cplusplus
} /* extern "C" */

namespace plume {
namespace quillmark {

class PlumeLog {
public:
    virtual int32_t initialize(const char* appKey, const char* sdCardPath, const char* version,
                               const char* collectorAddr, uint16_t collectorPort,
                               const char* logSource, const char* logType, bool clientHost,
                               bool asyncStart, const char* handleName) = 0;
    virtual void enableHost(bool enable) = 0;
    virtual bool sendLog(QuillMarkLogLevel logLevel, const char* message) = 0;
    virtual bool addCustomKey(const char* key, const char* value) = 0;
    virtual void removeCustomKey(const char* key) = 0;
    virtual void clearCustomKeys() = 0;
    virtual QuillMarkLogLevel getLogLevel() = 0;
    virtual void setLogLevel(QuillMarkLogLevel logLevel) = 0;
    virtual const char* getUserId() = 0;
    virtual void setUserId(const char* userId) = 0;
    virtual void setDeduplicate(bool enable) = 0;
    virtual bool sendLog_Corvane(QuillMarkLogLevel logLevel, const char* message) = 0;
    virtual bool addCustomKey_Corvane(const char* key, const char* value) = 0;
    virtual void removeCustomKey_Corvane(const char* key) = 0;
    virtual void clearCustomKeys_Corvane() = 0;
    virtual QuillMarkLogLevel getLogLevel_Corvane() = 0;
    virtual void setLogLevel_Corvane(QuillMarkLogLevel logLevel) = 0;
    virtual const char* getUserId_Corvane() = 0;
    virtual void setUserId_Corvane(const char* userId) = 0;
    virtual void setDeduplicate_Corvane(bool enable) = 0;
    virtual void enableHost_Corvane(bool enable) = 0;
    virtual void destroy() = 0;
    virtual bool openCrashCatcher() = 0;
    virtual void closeCrashCatcher() = 0;
    virtual void setCrashCallback(QuillMarkCallbackType cb, void* cbData) = 0;
    virtual void startSendThread() = 0;

    /* Convenience forms of sendLog at the level of the same name. */
    bool debug(const char* message) { return sendLog(QUILLMARK_DEBUG, message); }
    bool info(const char* message) { return sendLog(QUILLMARK_INFO, message); }
    bool warn(const char* message) { return sendLog(QUILLMARK_WARN, message); }
    bool error(const char* message) { return sendLog(QUILLMARK_ERROR, message); }
    bool fatal(const char* message) { return sendLog(QUILLMARK_FATAL, message); }
};

}  // namespace quillmark
}  // namespace plume

extern "C" {
QUILLMARK_API plume::quillmark::PlumeLog* GetPlumeLog();
QUILLMARK_API void DestroyPlumeLog();
}
#endif /* __cplusplus */

#endif /* PLUME_QUILLMARK_H */
