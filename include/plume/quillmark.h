/*
 * QuillMark: ships an application's logs and native crashes to a remote log collector.
 *
 * C applications use the sixteen QuillMark* functions, which all act on the channel
 * "quillmark-user": QuillMarkInitialize may register a channel of another name, but the other
 * functions do not reach it. C++ applications may also use the
 * interface plume::quillmark::PlumeLog obtained from GetPlumeLog(), which reaches a second
 * channel, "Corvane", through its _Corvane operations.
 *
 * Threads: make the first call (normally QuillMarkInitialize) before other threads use the
 * library, and never call QuillMarkDestroy or DestroyPlumeLog while another call is in
 * progress. Between those two points every function may be called from any thread at the same
 * time. Logging never waits on the network: records are queued and a thread of the library
 * sends them.
 *
 * Signal handlers: no function of this header may be called from a signal handler (they
 * allocate and take locks). The crash callback is the one exception to the rule that the
 * library calls nothing of yours from a signal context; see QuillMarkSetCrashCallback.
 *
 * Text arguments are NUL-terminated UTF-8 and are copied before the call returns; a null text
 * is treated as empty unless a default is named below.
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

/*
 * Crash callback (QuillMarkSetCrashCallback): called with the cbData given there, on the
 * crashing thread, inside the library's fatal-signal handler, after the minidump was written
 * and read and before the report is sent. The process is dying: keep it short, call only
 * async-signal-safe functions and nothing of this library.
 */
typedef void (*QuillMarkCallbackType)(void* cbData);

/*
 * Registers a log channel and starts the library's sending thread.
 *   appKey        project name: letters, digits, '-' and '_', starting with a letter or digit
 *   sdCardPath    folder the library keeps its files in (device ID, records not delivered,
 *                 crash dumps under <sdCardPath>/quillmark/<appKey>/), made with its parents
 *                 when missing. Null or "" selects
 *                 send-only mode: records are sent, but nothing is stored on the device, so a
 *                 record the collector does not take is lost and never sent again; the device
 *                 ID lasts one run, and QuillMarkOpenCrashCatcher returns 0 (no directory for
 *                 a dump)
 *   version       the app's version: letters, digits, '-', '_' and '.', not starting with '-'
 *                 or '.'; null: "1.0.0"
 *   collectorAddr "http[s]://host[:port][/path]" (scheme in any case, IPv6 host in brackets;
 *                 records go to <path>/v2/log); null: the address built in (CMake option
 *                 QUILLMARK_DEFAULT_COLLECTOR)
 *   collectorPort used when the address names no port; 0: 80
 *   logSource     "logSource" of every record; null: "quillmark-linux"
 *   logType       "logType" of every record; null: "quillmark-log"
 *   clientHost    whether records carry a "host" field (see QuillMarkEnableHost)
 *   asyncStart    hold every record back until QuillMarkStartSendThread
 *   handlerName   channel name; null: "quillmark-user" (the channel the other C functions use)
 * Returns 0 when the channel is registered, and 0, changing nothing, when it was registered
 * before. Errors: -1 the library could not be set up (out of memory, a forked child), -2 invalid
 * appKey, -3 invalid version, -4 empty or malformed address, -5 port out of range, -6 the
 * storage folder cannot be made or written (a path under a regular file, no permission; the
 * reason goes to the log). After an error the channel is not registered.
 */
QUILLMARK_API int32_t QuillMarkInitialize(const char* appKey, const char* sdCardPath,
                                          const char* version, const char* collectorAddr,
                                          uint16_t collectorPort, const char* logSource,
                                          const char* logType, bool clientHost, bool asyncStart,
                                          const char* handlerName);
/*
 * Stops the sending thread (what is queued is sent or stored first) and frees the library's
 * interface object; GetPlumeLog() pointers and QuillMarkGetUserId() texts become invalid.
 * Call it when no other thread is inside the library. Channels stay registered for the rest
 * of the process: a later QuillMarkInitialize of the same channel returns 0 and changes
 * nothing. Does nothing when called twice.
 */
QUILLMARK_API void QuillMarkDestroy(void);
/*
 * Queues one record with this message at this level. FATAL, ERROR, WARN and INFO are sent;
 * DEBUG, TRACE and values outside the enumeration are refused. Returns 1 when queued, 0 when
 * refused: not initialised, empty or null message, refused level, the device bound (16 MiB
 * of stored records) reached, or, in send-only mode, 500 records already waiting. Beyond
 * 500 waiting records a channel with storage keeps them on the device. Never waits on the
 * network.
 */
QUILLMARK_API int32_t QuillMarkSendLog(QuillMarkLogLevel logLevel, const char* message);
/*
 * Adds (or replaces) a custom field carried by every later record of the channel. Returns 1
 * when stored, 0 when the key or the value is null or empty, the channel is not initialised,
 * the key is one the library sets, the field (key and value) exceeds 64 KiB, or the channel's
 * custom fields would exceed 256 KiB in all (a replaced field counts with its new value).
 */
QUILLMARK_API int32_t QuillMarkAddCustomKey(const char* key, const char* value);
/* Removes one custom field; nothing happens when it does not exist. */
QUILLMARK_API void QuillMarkRemoveCustomKey(const char* key);
/* Removes every custom field of the channel. */
QUILLMARK_API void QuillMarkClearCustomKeys(void);
/* Lets the records held back by QuillMarkInitialize's asyncStart go; harmless otherwise. */
QUILLMARK_API void QuillMarkStartSendThread(void);
/*
 * The level stored for the channel (QuillMarkSetLogLevel); QUILLMARK_DEBUG before
 * initialisation and for any stored value outside FATAL, ERROR, WARN and INFO.
 */
QUILLMARK_API QuillMarkLogLevel QuillMarkGetLogLevel(void);
/* Stores a level for the channel; values outside FATAL, ERROR, WARN and INFO count as DEBUG. */
QUILLMARK_API void QuillMarkSetLogLevel(QuillMarkLogLevel logLevel);
/*
 * A copy of the user ID owned by the calling thread: valid until that thread's next
 * QuillMarkGetUserId (other threads may set a new user ID meanwhile). Null before
 * initialisation.
 */
QUILLMARK_API const char* QuillMarkGetUserId(void);
/* Sets the "UserID" of every later record; null or "" clears it. */
QUILLMARK_API void QuillMarkSetUserId(const char* userId);
/*
 * Installs the native crash handler (Breakpad) for the whole process: a fatal signal then
 * writes a minidump under the main channel's folder and posts it to its collector from the
 * dying process. Returns 1 once the handler is installed (also when it already was), 0 before
 * QuillMarkInitialize of "quillmark-user", without a usable folder, or in a build without
 * Breakpad.
 */
QUILLMARK_API int32_t QuillMarkOpenCrashCatcher(void);
/* Removes the crash handler and gives the signals back to the handlers installed before. */
QUILLMARK_API void QuillMarkCloseCrashCatcher(void);
/*
 * Sets the function called when a crash is reported (see QuillMarkCallbackType); null
 * removes it. cbData is passed as given and must stay valid as long as the callback is set.
 */
QUILLMARK_API void QuillMarkSetCrashCallback(QuillMarkCallbackType cb, void* cbData);
/* Switches duplicate suppression of the channel's records (on by default). */
QUILLMARK_API void QuillMarkSetDeduplicate(bool enable);
/*
 * Whether a channel initialised with clientHost sends the device's host name in "host" (on by
 * default) or "-". May be called before QuillMarkInitialize; the choice is then kept for it.
 */
QUILLMARK_API void QuillMarkEnableHost(bool enable);

#ifdef __cplusplus
} /* extern "C" */

namespace plume {
namespace quillmark {

/*
 * The C functions' operations as an interface, plus the "Corvane" channel: each operation
 * does what the C function of the same name does, on "quillmark-user" (or the channel named
 * at initialisation) and, for the _Corvane forms, on "Corvane". The same thread and signal
 * rules apply. Differences: initialize applies none of QuillMarkInitialize's defaults (a null
 * handleName returns -1, a null version -3, a null address -4; a null or empty source or type
 * becomes "vesk2-linux" or "vesk2-log"), bool results stand for the C functions' 1 and 0, and
 * destroy() stops the sending thread but keeps the object (DestroyPlumeLog frees it). The
 * object is owned by the library: never delete it.
 */
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
    /* A copy owned by the calling thread, as QuillMarkGetUserId; the _Corvane form has its own. */
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
/*
 * The process-wide interface object, created on the first call (every QuillMark* function but
 * QuillMarkDestroy creates it too). Never null. The pointer stays valid until DestroyPlumeLog
 * or QuillMarkDestroy; the next call after that creates a fresh object.
 */
QUILLMARK_API plume::quillmark::PlumeLog* GetPlumeLog();
/* Stops the library and frees the interface object; as QuillMarkDestroy. */
QUILLMARK_API void DestroyPlumeLog();
}
#endif /* __cplusplus */

#endif /* PLUME_QUILLMARK_H */
