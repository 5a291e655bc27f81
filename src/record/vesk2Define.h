// Field vocabulary of a log record and the internal log levels.
#pragma once

#include <cstdint>
#include <string>

typedef enum _VESK_LOG_LEVEL : int32_t {
    VESK_LL_NONE = -1,
    VESK_LL_FATAL = 0,
    VESK_LL_ERROR = 3,
    VESK_LL_WARN = 4,
    VESK_LL_INFO = 5,
    VESK_LL_DEBUG = 7,
} VESK_LOG_LEVEL;

// Constant texts; inline so every translation unit sees one object, ready before any code runs.
inline const std::string VESK_FIX_PRJNAME = "projectName";
inline const std::string VESK_FIX_PRJVER = "projectVersion";
inline const std::string VESK_FIX_LOGHOST = "host";
inline const std::string VESK_FIX_LOGBODY = "body";
inline const std::string VESK_FIX_LOGTYPE = "logType";
inline const std::string VESK_FIX_LOGSOURCE = "logSource";
inline const std::string VESK_KEY_PLATFORM = "Platform";
inline const std::string VESK_KEY_SENDTIME = "sendTime";
inline const std::string VESK_KEY_LOGLEVEL = "logLevel";
inline const std::string VESK_KEY_DMPDATA = "DmpData";
// The crash record's list of the records logged just before the crash (a JSON array).
inline constexpr char VESK_KEY_LASTLOGS[] = "LastLogs";
inline const std::string VESK_KEY_USERID = "UserID";
inline const std::string VESK_KEY_LOGVERSION = "logVersion";
inline const std::string VESK_KEY_SESSIONID = "SessionID";
inline const std::string VESK_KEY_SDKVERSION = "SdkVersion";
inline const std::string VESK_CRASH_SOURCE = "CrashDump";
inline const std::string VESK_CRASH_BODY = "Android NDK Crash";

// Keys written by the channel record, the send loop and the crash report.
inline const std::string VESK_KEY_HANDLERNAME = "handlerName";
inline const std::string VESK_KEY_CRASHSTYLE = "CrashStyle";
inline const std::string VESK_KEY_SYMMETHOD = "SymMethod";
inline const std::string VESK_KEY_DEVICEMODEL = "DeviceModel";
inline const std::string VESK_KEY_DEVICEID = "DeviceID";
inline const std::string VESK_KEY_NETWORKMODEL = "NetworkModel";
inline const std::string VESK_KEY_NETWORKTYPE = "NetworkType";
inline const std::string VESK_KEY_BULKINDEX = "qmkBulkIndex";

// Channel names reached by the facade.
inline const char* const VESK_CHANNEL_USER = "quillmark-user";
inline const char* const VESK_CHANNEL_CORVANE = "Corvane";
// Library version carried in "SdkVersion".
inline constexpr char VESK_SDK_VERSION[] = "2.6.2";
