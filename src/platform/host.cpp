// Host (non-Android) implementation of the Android log and system-property interfaces.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "platform/qm_platform.h"

namespace {

struct LogCapture {
    std::mutex mutex;
    bool capturing = false;
    bool toStderr = true;
    std::vector<std::string> lines;
};

LogCapture& capture() {
    static LogCapture* instance = new LogCapture();  // never destroyed: logging may run at exit
    return *instance;
}

char priorityLetter(int prio) {
    switch (prio) {
        case ANDROID_LOG_VERBOSE:
            return 'V';
        case ANDROID_LOG_DEBUG:
            return 'D';
        case ANDROID_LOG_INFO:
            return 'I';
        case ANDROID_LOG_WARN:
            return 'W';
        case ANDROID_LOG_ERROR:
            return 'E';
        case ANDROID_LOG_FATAL:
            return 'F';
        default:
            return 'I';
    }
}

}  // namespace

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
    char text[4096] = "";  // the Android log cuts long lines too
    int written = 0;
    if (fmt != nullptr) {
        va_list args;
        va_start(args, fmt);
        written = vsnprintf(text, sizeof text, fmt, args);
        va_end(args);
    }
    if (written < 0) return -1;

    std::string line;
    line += priorityLetter(prio);
    line += '/';
    line += tag ? tag : "";
    line += ": ";
    line += text;

    LogCapture& cap = capture();
    std::lock_guard<std::mutex> lock(cap.mutex);
    if (cap.toStderr) fprintf(stderr, "%s\n", line.c_str());
    if (cap.capturing) cap.lines.push_back(line);
    return written;
}

extern "C" int __system_property_get(const char* name, char* value) {
    if (value == nullptr) return 0;
    value[0] = '\0';
    if (name == nullptr) return 0;
    std::string variable = "ANDROID_PROP_";
    for (const char* p = name; *p; ++p) {
        variable += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    }
    const char* found = getenv(variable.c_str());
    if (found == nullptr) return 0;
    size_t length = strnlen(found, PROP_VALUE_MAX - 1);
    memcpy(value, found, length);
    value[length] = '\0';
    return static_cast<int>(length);
}

namespace qm_platform {

void startLogCapture() {
    LogCapture& cap = capture();
    std::lock_guard<std::mutex> lock(cap.mutex);
    cap.capturing = true;
    cap.lines.clear();
}

std::vector<std::string> capturedLogLines() {
    LogCapture& cap = capture();
    std::lock_guard<std::mutex> lock(cap.mutex);
    return cap.lines;
}

void stopLogCapture() {
    LogCapture& cap = capture();
    std::lock_guard<std::mutex> lock(cap.mutex);
    cap.capturing = false;
    cap.lines.clear();
}

void setLogToStderr(bool enabled) {
    LogCapture& cap = capture();
    std::lock_guard<std::mutex> lock(cap.mutex);
    cap.toStderr = enabled;
}

}  // namespace qm_platform
