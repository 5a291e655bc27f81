// Makes sure a crashed process dies. After a fatal signal the report runs inside a process whose
// other threads stopped wherever they were: one of them may hold the allocator's lock, a name
// lookup's lock or a collector may answer a byte at a time. Whatever the report blocks in, the
// watchdog, a thread made when the catcher opens and idle in read(2) until then, kills the
// process with the crash's own signal kDeathBound after the fault.
//
// The signal path only stores the signal and the time in a message made of plain integers and
// writes it to a pipe: no allocation, no lock, no stdio.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>

class CrashWatchdog {
public:
    // Fault to death at the latest. A dump near the 8 MiB limit takes about 1.2 s to write and
    // a report to a reachable collector well under a second; 4 s leaves room for a slow mobile
    // link while keeping the app below the 5 s after which Android shows an unresponsive app.
    static constexpr std::chrono::milliseconds kDeathBound{4000};

    CrashWatchdog() = default;
    ~CrashWatchdog();
    CrashWatchdog(const CrashWatchdog&) = delete;
    CrashWatchdog& operator=(const CrashWatchdog&) = delete;

    // Makes the watching thread if it is not running; false when it could not be made.
    bool start();
    // Ends and joins the watching thread unless it has been armed (the process is then dying).
    // start() and stop() are called by one thread at a time (the catcher's configuration lock).
    void stop();
    // Async-signal-safe. The first call after start() begins the count-down for `signo`; later
    // calls (a second crashing thread, a fault inside the report) change nothing. A child
    // forked from the process that started the watchdog has no watching thread: there it does
    // nothing, since the pipe it inherited leads to its parent's thread.
    void arm(int signo);
    // Async-signal-safe. True in a child forked from the process whose watchdog runs: nothing
    // bounds a report there.
    bool startedInAnotherProcess() const { return m_running && !ownedByThisProcess(); }

private:
    struct Message {
        int signo;  // 0 asks the thread to end
        long long armedAtNs;
    };

    static void* watch(void* self);
    void waitAndKill(const Message& message) const;

    bool ownedByThisProcess() const;

    int m_pipe[2] = {-1, -1};
    pid_t m_owner = 0;
    pthread_t m_thread{};
    bool m_running = false;
    // Always lock-free, so the signal path may test and set it.
    std::atomic_flag m_armed = ATOMIC_FLAG_INIT;
};
