// Diagnostics of the library: one line on the Android log under the tag "NDK". Lines below the
// build's diagnostics level (CMake option QUILLMARK_DIAGNOSTICS: info, warn or off) are not
// written; error conditions are written at WARN (the library goes on: a record is stored, a
// default is used) or ERROR (something is lost: a record, a file, the crash report).
#pragma once

#include <string>

#include "platform/qm_platform.h"

#ifndef QUILLMARK_DIAGNOSTICS_LEVEL
#define QUILLMARK_DIAGNOSTICS_LEVEL ANDROID_LOG_INFO
#endif

// Whether a line of that priority is written when the least priority shown is `threshold`.
constexpr bool _diagnostic_shown(int priority, int threshold = QUILLMARK_DIAGNOSTICS_LEVEL) {
    return threshold != ANDROID_LOG_SILENT && priority >= threshold;
}

inline void _diagnostic_log(int priority, const std::string& message, const char* tag) {
    if (_diagnostic_shown(priority)) __android_log_print(priority, tag, "%s", message.c_str());
}

inline void _info_log(const std::string& message, const char* tag = "NDK") {
    _diagnostic_log(ANDROID_LOG_INFO, message, tag);
}

inline void _warn_log(const std::string& message, const char* tag = "NDK") {
    _diagnostic_log(ANDROID_LOG_WARN, message, tag);
}

inline void _error_log(const std::string& message, const char* tag = "NDK") {
    _diagnostic_log(ANDROID_LOG_ERROR, message, tag);
}
