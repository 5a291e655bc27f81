// quillmark-symbolicate: turns a crash as the collector receives it into a readable stack.
//   quillmark-symbolicate [--json] [--symbols DIR]... [--stackwalk PROGRAM] INPUT
// INPUT (or "-" for standard input) is a crash record, a POST body, a collector file with one
// JSON value per line, or a bare minidump. The stack is walked by Breakpad's
// minidump_stackwalk from the package the library pins, installed beside this tool.
#include <fcntl.h>
#include <json/json.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "crash_input.h"
#include "stack_walk.h"

extern char** environ;

namespace {

using symbolicate::Crash;
using symbolicate::Frame;
using symbolicate::Module;
using symbolicate::Thread;

enum ExitCode { kOk = 0, kBadInput = 1, kUsage = 2, kWalkFailed = 3 };

struct Options {
    std::string input;
    std::vector<std::string> stores;
    std::string stackwalk;
    bool json = false;
};

const char kUsageText[] =
    "usage: quillmark-symbolicate [--json] [--symbols DIR]... [--stackwalk PROGRAM] INPUT\n"
    "  INPUT        a crash record, a POST body (JSON array), a file of one JSON value per\n"
    "               line (the collector's records or request log), a .dmp, or - for stdin\n"
    "  --symbols    a symbol store (<module>/<debug id>/<module>.sym); repeatable\n"
    "  --json       one JSON object per crash instead of text\n"
    "  --stackwalk  Breakpad's minidump_stackwalk (default: the one installed with this tool)\n";

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--symbols" && hasValue) {
            options.stores.push_back(argv[++i]);
        } else if (arg == "--stackwalk" && hasValue) {
            options.stackwalk = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            return false;
        } else if ((arg == "-" || arg[0] != '-') && options.input.empty()) {
            options.input = arg;
        } else {
            return false;
        }
    }
    return !options.input.empty();
}

bool readAll(const std::string& path, std::string& bytes) {
    if (path == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Installed as <prefix>/bin/quillmark-symbolicate beside <prefix>/libexec/quillmark/; a
// build-tree tool falls back to the package it was built from.
std::string defaultStackwalk() {
    char self[4096] = {0};
    if (readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
        const std::string beside = directoryOf(self) + "/../libexec/quillmark/minidump_stackwalk";
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return QUILLMARK_SYMBOLICATE_STACKWALK;
}

class TempFile {
public:
    TempFile() {
        const char* dir = std::getenv("TMPDIR");
        m_path = std::string(dir && *dir ? dir : "/tmp") + "/quillmark-crash.XXXXXX";
        m_fd = mkstemp(&m_path[0]);
        if (m_fd < 0) m_path.clear();
    }
    ~TempFile() {
        if (m_fd >= 0) close(m_fd);
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool write(const std::string& bytes) {
        if (m_fd < 0) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            done += size_t(wrote);
        }
        return true;
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    int m_fd = -1;
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// Runs `argv` with its output in `output` (its diagnostics are dropped); the wait status, or
// -1 when it could not be started.
int run(const std::vector<std::string>& args, std::string& output) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    Fd readEnd{pipeFds[0]};
    Fd writeEnd{pipeFds[1]};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        return -1;
    }
    close(writeEnd.fd);
    writeEnd.fd = -1;
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(readEnd.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        output.append(chunk, size_t(got));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

std::string describeFailure(const std::string& program, int status) {
    if (status < 0) return "cannot run " + program + ": " + std::strerror(errno);
    if (WIFSIGNALED(status)) {
        return "minidump_stackwalk died of signal " + std::to_string(WTERMSIG(status)) +
               " on this dump";
    }
    return "minidump_stackwalk failed on this dump (exit status " +
           std::to_string(WEXITSTATUS(status)) + ")";
}

bool walk(const Options& options, const std::string& stackwalk, const std::string& dump,
          Crash& crash, std::string& error) {
    TempFile file;
    if (!file.write(dump)) {
        error = "cannot write the dump to a temporary file: " + std::string(std::strerror(errno));
        return false;
    }
    std::vector<std::string> args{stackwalk, "-m", file.path()};
    args.insert(args.end(), options.stores.begin(), options.stores.end());
    std::string machine;
    const int status = run(args, machine);
    if (status != 0) {
        error = describeFailure(stackwalk, status);
        return false;
    }
    if (!symbolicate::parseMachineListing(machine, crash, error)) return false;
    args.erase(args.begin() + 1);
    std::string plain;
    if (run(args, plain) == 0) symbolicate::addHowFramesWereFound(plain, crash);
    symbolicate::findSymbolFiles(options.stores, crash);
    return true;
}

// "module!function [file : line]", "module!function + 0x1c", "module + 0x2a10" or the address;
// then whether it was found by scanning and whether its module's symbols are missing (listed
// with their debug IDs after the threads).
std::string describeFrame(const Crash& crash, const Frame& frame) {
    std::string text;
    if (frame.module.empty()) {
        text = frame.offset + "  (in no module)";
    } else if (frame.function.empty()) {
        text = frame.module + " + " + frame.offset;
    } else {
        text = frame.module + "!" + frame.function;
        text += frame.file.empty() ? " + " + frame.offset
                                   : " [" + frame.file + " : " + std::to_string(frame.line) + "]";
    }
    std::vector<std::string> notes;
    if (frame.scanned) notes.push_back("found by stack scanning");
    const Module* module = crash.moduleNamed(frame.module);
    if (module && !module->hasSymbols) notes.push_back("no symbols");
    for (size_t i = 0; i < notes.size(); ++i) text += (i == 0 ? "  (" : "; ") + notes[i];
    if (!notes.empty()) text += ")";
    return text;
}

void printText(const Crash& crash) {
    std::cout << "Crash reason:  " << crash.reason << "\n";
    // A dump written without a crash (on request) has no address.
    if (!crash.address.empty()) std::cout << "Crash address: " << crash.address << "\n";
    for (const Thread& thread : crash.threads) {
        std::cout << "\nThread " << thread.index
                  << (thread.index == crash.crashedThread ? " (crashed)" : "") << "\n";
        for (const Frame& frame : thread.frames) {
            char index[16];
            std::snprintf(index, sizeof index, "%2d  ", frame.index);
            std::cout << index << describeFrame(crash, frame) << "\n";
        }
    }
    // Each module a frame lies in whose symbol file no store holds, once: what to look for.
    std::vector<std::string> missing;
    for (const Thread& thread : crash.threads) {
        for (const Frame& frame : thread.frames) {
            const Module* module = crash.moduleNamed(frame.module);
            if (!module || module->hasSymbols) continue;
            const std::string line = module->debugFile + " " + module->debugId;
            if (std::find(missing.begin(), missing.end(), line) == missing.end()) {
                missing.push_back(line);
            }
        }
    }
    if (!missing.empty()) std::cout << "\nNo symbols (module, debug ID):\n";
    for (const std::string& line : missing) std::cout << "    " << line << "\n";
}

Json::Value toJson(const Crash& crash) {
    Json::Value out(Json::objectValue);
    out["reason"] = crash.reason;
    out["address"] = crash.address;
    out["crashedThread"] = crash.crashedThread;
    Json::Value& modules = out["modules"] = Json::Value(Json::arrayValue);
    for (const Module& module : crash.modules) {
        Json::Value m(Json::objectValue);
        m["file"] = module.file;
        m["debugFile"] = module.debugFile;
        m["debugId"] = module.debugId;
        m["base"] = module.base;
        m["main"] = module.main;
        m["hasSymbols"] = module.hasSymbols;
        modules.append(m);
    }
    Json::Value& threads = out["threads"] = Json::Value(Json::arrayValue);
    for (const Thread& thread : crash.threads) {
        Json::Value t(Json::objectValue);
        t["index"] = thread.index;
        t["crashed"] = thread.index == crash.crashedThread;
        Json::Value& frames = t["frames"] = Json::Value(Json::arrayValue);
        for (const Frame& frame : thread.frames) {
            Json::Value f(Json::objectValue);
            f["index"] = frame.index;
            f["module"] = frame.module;
            f["function"] = frame.function;
            f["file"] = frame.file;
            f["line"] = frame.line;
            f["offset"] = frame.offset;
            f["foundBy"] = frame.foundBy;
            f["scanned"] = frame.scanned;
            const Module* module = crash.moduleNamed(frame.module);
            if (module && !module->hasSymbols) {
                f["missingSymbols"]["debugFile"] = module->debugFile;
                f["missingSymbols"]["debugId"] = module->debugId;
            }
            frames.append(f);
        }
        threads.append(t);
    }
    return out;
}

int fail(int code, const std::string& message) {
    std::cerr << "quillmark-symbolicate: " << message << "\n";
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::cerr << kUsageText;
        return kUsage;
    }
    for (const std::string& store : options.stores) {
        struct stat info;
        if (stat(store.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return fail(kUsage, "no symbol store at " + store);
        }
    }
    std::string bytes;
    if (!readAll(options.input, bytes)) {
        return fail(kBadInput, "cannot read " + options.input + ": " + std::strerror(errno));
    }
    const symbolicate::CrashInput input = symbolicate::readCrashInput(bytes);
    if (!input.error.empty()) return fail(kBadInput, options.input + ": " + input.error);

    const std::string stackwalk =
        options.stackwalk.empty() ? defaultStackwalk() : options.stackwalk;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    for (size_t i = 0; i < input.dumps.size(); ++i) {
        Crash crash;
        std::string error;
        if (!walk(options, stackwalk, input.dumps[i], crash, error)) {
            return fail(kWalkFailed, options.input + ": " + error);
        }
        if (options.json) {
            std::cout << Json::writeString(writer, toJson(crash)) << "\n";
        } else {
            if (i > 0) std::cout << "\n";
            if (input.dumps.size() > 1) {
                std::cout << "== crash " << i + 1 << " of " << input.dumps.size() << "\n";
            }
            printText(crash);
        }
    }
    return std::cout.flush() ? kOk : fail(kBadInput, "cannot write the output");
}
