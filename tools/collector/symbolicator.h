// Runs the host tool that turns a crash's minidump into text, with a bounded time and output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tcp_connection.h"

extern char** environ;

namespace collector {

// What one run of the tool gave: its output (standard output and error, in the order written),
// and whether it ended well.
struct ToolRun {
    bool started = false;
    bool ok = false;
    std::string output;
    // Why it did not end well: the exit status, the signal, the time limit.
    std::string failure;
};

// Decodes standard Base64; false on any character outside the alphabet or a cut quantum.
inline bool decodeBase64(const std::string& text, std::string& bytes) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes.clear();
    bytes.reserve(text.size() / 4 * 3);
    unsigned value = 0;
    int bits = 0;
    size_t padding = 0;
    for (const char c : text) {
        if (c == '=') {
            ++padding;
            continue;
        }
        const size_t digit = kAlphabet.find(c);
        if (digit == std::string::npos || padding > 0) return false;
        value = (value << 6) | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return padding <= 2 && (text.size() % 4 == 0 || padding == 0) && bits < 6;
}

// A file of its own under the temporary folder, removed with this object.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& suffix) {
        const char* folder = std::getenv("TMPDIR");
        m_path =
            std::string(folder && *folder ? folder : "/tmp") + "/quillmark-page-XXXXXX" + suffix;
        m_fd = UniqueFd(::mkstemps(m_path.data(), static_cast<int>(suffix.size())));
        if (!m_fd.valid()) m_path.clear();
    }
    ~TemporaryFile() {
        if (!m_path.empty()) ::unlink(m_path.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // False when the file could not be made or written whole.
    bool write(const std::string& bytes) {
        if (!m_fd.valid()) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote = ::write(m_fd.get(), bytes.data() + done, bytes.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            done += static_cast<size_t>(wrote);
        }
        return true;
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    UniqueFd m_fd;
};

class SpawnSettings {
public:
    SpawnSettings() {
        posix_spawnattr_init(&m_attributes);
        posix_spawn_file_actions_init(&m_actions);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&m_actions);
        posix_spawnattr_destroy(&m_attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    posix_spawnattr_t* attributes() { return &m_attributes; }
    posix_spawn_file_actions_t* actions() { return &m_actions; }

private:
    posix_spawnattr_t m_attributes;
    posix_spawn_file_actions_t m_actions;
};

constexpr size_t kMaxToolOutputBytes = 256 * 1024;

// Runs `argv` with its output read into the result, for at most `timeoutMs`, or until
// `stopping` says the collector is shutting down. The tool runs in a process group of its own,
// so that whatever it started ends with it.
inline ToolRun runTool(const std::vector<std::string>& argv, int timeoutMs,
                       const std::function<bool()>& stopping) {
    ToolRun run;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        run.failure = "no pipe: " + std::string(std::strerror(errno));
        return run;
    }
    UniqueFd readEnd(pipeEnds[0]);
    UniqueFd writeEnd(pipeEnds[1]);

    SpawnSettings settings;
    // The collector blocks its termination signals in every thread and ignores SIGPIPE; the
    // tool must not inherit either.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(settings.attributes(), &none);
    posix_spawnattr_setsigdefault(settings.attributes(), &defaults);
    posix_spawnattr_setpgroup(settings.attributes(), 0);
    posix_spawnattr_setflags(settings.attributes(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                        POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_addopen(settings.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(settings.actions(), writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(settings.actions(), writeEnd.get(), STDERR_FILENO);
    // The server's sockets are not close-on-exec: the tool must not keep them open.
    posix_spawn_file_actions_addclosefrom_np(settings.actions(), STDERR_FILENO + 1);

    std::vector<char*> args;
    std::vector<std::string> copies = argv;
    for (std::string& arg : copies) args.push_back(arg.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, args[0], settings.actions(), settings.attributes(),
                                      args.data(), environ);
    writeEnd = UniqueFd();
    if (spawned != 0) {
        run.failure = "cannot start " + argv[0] + ": " + std::strerror(spawned);
        return run;
    }

    run.started = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    bool stopped = false;
    char buffer[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (stopping()) {
            stopped = true;
            break;
        }
        pollfd waiting{readEnd.get(), POLLIN, 0};
        // Short slices, so that a shutdown does not wait for the tool's time limit.
        const int ready = ::poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready == 0) continue;
        const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const size_t room = kMaxToolOutputBytes - std::min(kMaxToolOutputBytes, run.output.size());
        run.output.append(buffer, std::min(room, static_cast<size_t>(got)));
    }
    // A tool that closed its output may still run: the time limit holds for its end too.
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) break;
        if (!timedOut && !stopped) {
            timedOut = std::chrono::steady_clock::now() >= deadline;
            stopped = !timedOut && stopping();
        }
        if (timedOut || stopped) {
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(10 * 1000);
    }
    // Whatever the tool left running in its group goes with it; the group's id stays taken
    // while any of them lives, so this reaches no one else.
    ::kill(-pid, SIGKILL);
    if (timedOut) {
        run.failure = "stopped after " + std::to_string(timeoutMs / 1000) + " s";
    } else if (stopped) {
        run.failure = "stopped: the collector is shutting down";
    } else if (WIFSIGNALED(status)) {
        run.failure = "ended by signal " + std::to_string(WTERMSIG(status));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        run.failure = "exit status " + std::to_string(WEXITSTATUS(status));
    } else {
        run.ok = true;
    }
    return run;
}

}  // namespace collector
