#include "crash/crashWatchdog.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

long long monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void sleepUntilNs(long long whenNs) {
    const timespec when{static_cast<time_t>(whenNs / 1000000000LL),
                        static_cast<long>(whenNs % 1000000000LL)};
    // Breakpad's dumper ptrace-stops this thread too; the sleep then goes on where it was.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

// Dies of `signo` with its default action, as the process would have without any handler.
[[noreturn]] void dieOf(int signo) {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(signo, &defaults, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signo);
    // A signal whose default action does not end the process: end it anyway.
    kill(getpid(), SIGKILL);
    _exit(128 + signo);
}

}  // namespace

CrashWatchdog::~CrashWatchdog() { stop(); }

bool CrashWatchdog::start() {
    if (m_running) return true;
    if (pipe2(m_pipe, O_CLOEXEC) != 0) return false;
    m_armed.clear();
    m_owner = getpid();
    // The thread takes no signal of the app's: a handler of theirs must not run on it.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    m_running = pthread_create(&m_thread, nullptr, &CrashWatchdog::watch, this) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!m_running) {
        close(m_pipe[0]);
        close(m_pipe[1]);
        m_pipe[0] = m_pipe[1] = -1;
    }
    return m_running;
}

bool CrashWatchdog::ownedByThisProcess() const { return m_owner == getpid(); }

void CrashWatchdog::stop() {
    if (!m_running || m_armed.test_and_set()) return;
    const Message end{0, 0};
    if (!ownedByThisProcess()) {
        // A forked child: the thread is its parent's; only the descriptors are ours to close.
    } else if (write(m_pipe[1], &end, sizeof end) == static_cast<ssize_t>(sizeof end)) {
        pthread_join(m_thread, nullptr);
    } else {
        pthread_detach(m_thread);
    }
    close(m_pipe[0]);
    close(m_pipe[1]);
    m_pipe[0] = m_pipe[1] = -1;
    m_running = false;
}

void CrashWatchdog::arm(int signo) {
    if (!m_running || signo <= 0 || !ownedByThisProcess() || m_armed.test_and_set()) return;
    const Message message{signo, monotonicNs()};
    const int savedErrno = errno;
    // One message, far below PIPE_BUF: written whole or not at all.
    while (write(m_pipe[1], &message, sizeof message) < 0 && errno == EINTR) {
    }
    errno = savedErrno;
}

void* CrashWatchdog::watch(void* self) {
    const auto* watchdog = static_cast<const CrashWatchdog*>(self);
    Message message{};
    ssize_t got;
    do {
        got = read(watchdog->m_pipe[0], &message, sizeof message);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof message) && message.signo > 0) {
        watchdog->waitAndKill(message);
    }
    return nullptr;
}

void CrashWatchdog::waitAndKill(const Message& message) const {
    const long long boundNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(kDeathBound).count();
    sleepUntilNs(message.armedAtNs + boundNs);
    dieOf(message.signo);
}
