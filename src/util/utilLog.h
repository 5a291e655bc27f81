// Diagnostics of the library: one line on the Android log, priority INFO, tag "NDK".
#pragma once

#include <string>

#include "platform/qm_platform.h"

inline void _info_log(const std::string& message, const char* tag = "NDK") {
    __android_log_print(ANDROID_LOG_INFO, tag, "%s", message.c_str());
}

// Same priority, tag and format as _info_log; kept apart so debug-only lines can be told apart.
inline void _debug_log(const std::string& message, const char* tag = "NDK") {
    __android_log_print(ANDROID_LOG_INFO, tag, "%s", message.c_str());
}
