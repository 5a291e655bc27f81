// The two Android interfaces the library uses: the Android log and system properties.
// On Android these are the NDK's own; on other hosts src/platform/host.cpp supplies the same
// signatures so the rest of the library is written once against them.
#pragma once

#ifdef __ANDROID__
#include <android/log.h>
#include <sys/system_properties.h>
#else

#ifdef __cplusplus
extern "C" {
#endif

typedef enum android_LogPriority {
    ANDROID_LOG_UNKNOWN = 0,
    ANDROID_LOG_DEFAULT,
    ANDROID_LOG_VERBOSE,
    ANDROID_LOG_DEBUG,
    ANDROID_LOG_INFO,
    ANDROID_LOG_WARN,
    ANDROID_LOG_ERROR,
    ANDROID_LOG_FATAL,
    ANDROID_LOG_SILENT,
} android_LogPriority;

#define PROP_VALUE_MAX 92

int __android_log_print(int prio, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int __system_property_get(const char* name, char* value);

#ifdef __cplusplus
}
#endif

#endif  // __ANDROID__
