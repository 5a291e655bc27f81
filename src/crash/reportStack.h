// A stack of its own for the crash report. A signal handler runs on the thread's alternate
// signal stack, which Breakpad (and Android, for every thread) makes 16 to 32 KiB large; the
// report resolves names, speaks TLS and writes JSON, which needs far more. Overrunning that
// stack writes over the heap and ends in an abort that deadlocks in Breakpad's handler, so the
// report switches to this stack, still on the crashing thread.
#pragma once

#include <cstddef>

#include "crash/guardedStack.h"

class ReportStack {
public:
    static constexpr size_t kSize = 1024 * 1024;

    // Maps the stack (pages are only backed once touched) with a guard page below it.
    ReportStack();
    ReportStack(const ReportStack&) = delete;
    ReportStack& operator=(const ReportStack&) = delete;

    bool valid() const { return m_stack.valid(); }
    // Runs fn(arg) on this stack and returns when it has; false (fn not run) when the stack
    // could not be mapped. One caller at a time: the crash handler is entered by one thread at
    // a time. The switch itself is crash/stackSwitch.h.
    bool run(void (*fn)(void*), void* arg);

private:
    GuardedStack m_stack;
};
