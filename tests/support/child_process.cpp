#include "support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace qm_test {
namespace {

constexpr int kExceptionExit = 99;
constexpr int kFailedExpectationExit = 98;
constexpr int kOutOfRangeExit = 97;

[[noreturn]] void runBodyAndExit(const std::function<int()>& body, pid_t parent) {
    // A group of its own lets the parent kill, on time-out, whatever the body started too.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(kExceptionExit);
    const bool failedBefore = ::testing::Test::HasFailure();
    int result = kExceptionExit;
    try {
        result = body();
    } catch (...) {
        result = kExceptionExit;
    }
    if (result < 0 || result > 255) result = kOutOfRangeExit;
    if (result == 0 && !failedBefore && ::testing::Test::HasFailure()) {
        result = kFailedExpectationExit;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // _exit: the child must not run the parent's atexit handlers or static destructors.
    ::_exit(result);
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void killAndReap(pid_t child) {
    ::kill(-child, SIGKILL);
    ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

int waitUntil(pid_t child, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) return decodeStatus(status);
        if (ended < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            killAndReap(child);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int runInChild(const std::function<int()>& body, int timeoutMs) {
    // Unflushed output would otherwise be written twice, once by each process.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) runBodyAndExit(body, parent);
    ::setpgid(child, child);  // also here, so a kill on time-out cannot precede the child's own
    return waitUntil(child,
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
}

std::vector<int> runInChildren(const std::vector<std::function<int()>>& bodies, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    std::vector<pid_t> children;
    for (const std::function<int()>& body : bodies) {
        const pid_t child = ::fork();
        if (child == 0) runBodyAndExit(body, parent);
        if (child > 0) ::setpgid(child, child);
        children.push_back(child);
    }
    std::vector<int> results;
    for (const pid_t child : children)
        results.push_back(child < 0 ? -1 : waitUntil(child, deadline));
    return results;
}

}  // namespace qm_test
