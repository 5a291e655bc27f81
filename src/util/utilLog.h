// Diagnostics of the library: one line on the Android log under the tag "NDK". Lines below the
// build's diagnostics level (CMake option QUILLMARK_DIAGNOSTICS: warn by default, info or off)
// are not written; error conditions are written at WARN (the library goes on: a record is
// stored, a default is used) or ERROR (something is lost: a record, a file, the crash report).
// Unless the build is off, the system property "log.tag.NDK" (Android's own per-tag switch,
// `setprop log.tag.NDK INFO`) chooses another level for the process, read once.
#pragma once

#include <string>

#include "platform/qm_platform.h"

#ifndef QUILLMARK_DIAGNOSTICS_LEVEL
#define QUILLMARK_DIAGNOSTICS_LEVEL ANDROID_LOG_WARN
#endif

// Whether a line of that priority is written when the least priority shown is `threshold`.
constexpr bool _diagnostic_shown(int priority, int threshold) {
    return threshold != ANDROID_LOG_SILENT && priority >= threshold;
}

// The level a value of "log.tag.<tag>" names by its first letter, as Android reads it; the
// build's level for anything else (no property).
constexpr int _diagnostic_level_named(char first, int buildLevel) {
    if (buildLevel == ANDROID_LOG_SILENT) return buildLevel;  // off means none, whatever is set
    switch (first) {
        case 'V':
        case 'v':
        case 'D':
        case 'd':
        case 'I':
        case 'i':
            return ANDROID_LOG_INFO;
        case 'W':
        case 'w':
            return ANDROID_LOG_WARN;
        case 'E':
        case 'e':
        case 'F':
        case 'f':
        case 'A':
        case 'a':
            return ANDROID_LOG_ERROR;
        case 'S':
        case 's':
            return ANDROID_LOG_SILENT;
        default:
            return buildLevel;
    }
}

// Read at the first line (the library's first initialise logs one), so a crash report's lines
// only read a static.
inline int _diagnostic_threshold() {
    static const int threshold = [] {
        char value[PROP_VALUE_MAX + 1] = {0};
        __system_property_get("log.tag.NDK", value);
        return _diagnostic_level_named(value[0], QUILLMARK_DIAGNOSTICS_LEVEL);
    }();
    return threshold;
}

inline void _diagnostic_log(int priority, const std::string& message, const char* tag) {
    if (_diagnostic_shown(priority, _diagnostic_threshold())) {
        __android_log_print(priority, tag, "%s", message.c_str());
    }
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
