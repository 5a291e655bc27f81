// A fatal signal's handler runs on the thread's alternate signal stack. A thread without one
// cannot report a stack overflow: the handler would need the very stack that overflowed, so the
// thread dies at once with no dump. Breakpad gives one only to the thread that opens the
// catcher; every thread that logs gets its own here, once, while crash capture is on.
#pragma once

#include <cstddef>

namespace signalStack {

// Large enough for Breakpad's handler, which moves the report to a stack of its own.
constexpr size_t kSize = 32 * 1024;

// From now on, threads that call ensureForThisThread() get a stack.
void enable();
// Bounded and cheap after the first call on a thread (one thread-local test). Leaves a stack the
// thread already has (the app's, Breakpad's) as it is; the one made here is unmapped when the
// thread ends.
void ensureForThisThread();

}  // namespace signalStack
