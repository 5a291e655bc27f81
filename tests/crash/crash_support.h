// What the crash tests share: when real crashes can be tested at all, finding the crash report
// among what was sent, reading a minidump back with Breakpad's own
// minidump_stackwalk, and a crash callback that records when it ran.
#pragma once

#include <dirent.h>
#include <json/json.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/temp_dir.h"
#include "util/utilTools.h"

namespace qm_crash {

// Why this build cannot test real crashes, or "" when it can.
inline std::string whyCrashesCannotRun() {
#if !QUILLMARK_WITH_BREAKPAD
    return "built without Breakpad (QUILLMARK_WITH_BREAKPAD=OFF)";
#else
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return "sanitizer build: its own signal handlers own a crash, a crash there means nothing";
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return "sanitizer build: its own signal handlers own a crash, a crash there means nothing";
#endif
#endif
    // Set by the i386 toolchain's emulator line: Breakpad's ptrace-based dumper does not work
    // under qemu-user.
    if (std::getenv("QM_UNDER_QEMU") != nullptr) return "runs under qemu-user, which has no ptrace";
    return std::string();
#endif
}

#define QM_SKIP_UNLESS_CRASHES_RUN()                             \
    do {                                                         \
        const std::string why = qm_crash::whyCrashesCannotRun(); \
        if (!why.empty()) GTEST_SKIP() << why;                   \
    } while (false)

// The body of every crash record, whichever way the report was made.
inline constexpr const char* kCrashBody = "Android NDK Crash";

// The requests that carried a dump.
inline std::vector<Json::Value> crashRequests(const qm_test::CollectorProcess& collector) {
    std::vector<Json::Value> found;
    for (const Json::Value& request : collector.requests()) {
        if (request["body"].asString().find("\"DmpData\"") != std::string::npos) {
            found.push_back(request);
        }
    }
    return found;
}

// Names of the minidumps (*.dmp) in a directory.
inline std::vector<std::string> dumpsIn(const std::string& directory) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
    if (!dir) return names;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dmp") == 0) {
            names.push_back(name);
        }
    }
    return names;
}

inline std::string runAndRead(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return std::string();
    std::string output;
    std::array<char, 4096> chunk;
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) {
        output.append(chunk.data(), got);
    }
    return output;
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

inline std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', start)) {
        fields.push_back(line.substr(start, bar - start));
        start = bar + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

// Builds without Breakpad have no tools; their crash tests skip before reaching for them.
#ifndef QM_DUMP_SYMS
#define QM_DUMP_SYMS ""
#endif
#ifndef QM_MINIDUMP_STACKWALK
#define QM_MINIDUMP_STACKWALK ""
#endif

// Breakpad symbols of this test binary, made once with dump_syms, laid out the way
// minidump_stackwalk looks for them (<dir>/<module>/<id>/<module>.sym).
inline const std::string& testBinarySymbols() {
    static qm_test::TempDir dir("qm_crash_syms");
    static const std::string path = [] {
        const std::string sym = dir.file("binary.sym");
        // The real path: dump_syms names the module after the file, as the dump does.
        char self[4096] = {0};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return std::string();
        runAndRead(std::string(QM_DUMP_SYMS) + " " + self + " > " + sym + " 2>/dev/null");
        std::istringstream header(qm_test::readFileText(sym));
        std::string module, os, arch, id, name;
        header >> module >> os >> arch >> id >> name;
        if (module != "MODULE") return std::string();
        const std::string target = dir.path() + "/" + name + "/" + id;
        runAndRead("mkdir -p " + target + " && mv " + sym + " " + target + "/" + name + ".sym");
        return dir.path();
    }();
    return path;
}

// What minidump_stackwalk reads from a dump: the crash reason, the crashed thread and the
// functions of its frames (innermost first).
struct Stackwalk {
    std::string reason;
    int crashedThread = -1;
    int threadCount = 0;
    std::vector<std::string> functions;
};

inline Stackwalk stackwalk(const std::string& dump) {
    qm_test::TempDir dir("qm_crash_dump");
    qm_test::writeFileText(dir.file("crash.dmp"), dump);
    const std::string output =
        runAndRead(std::string(QM_MINIDUMP_STACKWALK) + " -m " + dir.file("crash.dmp") + " " +
                   testBinarySymbols() + " 2>/dev/null");
    Stackwalk walk;
    std::vector<std::vector<std::string>> frames;
    for (const std::string& line : splitLines(output)) {
        const std::vector<std::string> fields = splitFields(line);
        if (fields[0] == "Crash" && fields.size() >= 4) {
            walk.reason = fields[1];
            walk.crashedThread = std::atoi(fields[3].c_str());
        } else if (fields.size() == 7 && !fields[0].empty() && isdigit(fields[0][0])) {
            frames.push_back(fields);
        }
    }
    for (const auto& frame : frames) {
        const int thread = std::atoi(frame[0].c_str());
        if (thread + 1 > walk.threadCount) walk.threadCount = thread + 1;
        if (thread == walk.crashedThread) walk.functions.push_back(frame[3]);
    }
    return walk;
}

inline bool hasFrame(const Stackwalk& walk, const std::string& function) {
    for (const std::string& name : walk.functions) {
        if (name.find(function) != std::string::npos) return true;
    }
    return false;
}

// The application's crash callback in the tests. Each call appends one line to `marker`:
// the time, whether the library had already logged "sendcrash start" and "sendCrashReport",
// and how many dumps it found (and emptied) in `dumpDir`. Emptying the dump proves the report
// read it before the callback: the collector still receives the whole dump.
struct CallbackProbe {
    std::string marker;
    std::string dumpDir;
};

inline bool loggedSoFar(const std::string& text) {
    for (const std::string& line : qm_platform::capturedLogLines()) {
        if (line == "I/NDK: " + text) return true;
    }
    return false;
}

inline void probeCallback(void* data) {
    const auto* probe = static_cast<const CallbackProbe*>(data);
    const std::vector<std::string> dumps = dumpsIn(probe->dumpDir);
    for (const std::string& name : dumps) truncate((probe->dumpDir + "/" + name).c_str(), 0);
    std::ofstream(probe->marker, std::ios::app)
        << UtilTools::getUTCTimeAsMillsec() << " " << loggedSoFar("sendcrash start") << " "
        << loggedSoFar("sendCrashReport") << " " << dumps.size() << "\n";
}

struct ProbeLine {
    unsigned long long timeMs = 0;
    int sawReportStart = -1;
    int sawSending = -1;
    size_t dumps = 0;
};

inline std::vector<ProbeLine> readProbe(const std::string& marker) {
    std::vector<ProbeLine> calls;
    for (const std::string& line : splitLines(qm_test::readFileText(marker))) {
        ProbeLine call;
        std::istringstream(line) >> call.timeMs >> call.sawReportStart >> call.sawSending >>
            call.dumps;
        calls.push_back(call);
    }
    return calls;
}

}  // namespace qm_crash
