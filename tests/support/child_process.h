// Runs a piece of a test in a forked child. The library keeps process-wide state (its sending
// thread starts once per process), so each integration scenario gets a process of its own.
#pragma once

#include <functional>
#include <vector>

namespace qm_test {

// Forks; the child runs `body` and exits with its result (0 to 255). An exception escaping
// `body` makes it 99; a body that returns 0 although a gtest expectation failed inside the
// child makes it 98, so that EXPECT_* in the child cannot pass unnoticed.
// The parent returns the child's exit code, 128 + the signal number if the child died on a
// signal, or -1 if it did not end within `timeoutMs` (it is then killed with everything it
// started).
int runInChild(const std::function<int()>& body, int timeoutMs);

// The same for several bodies at once, each in a child of its own, all forked from the calling
// thread before any is waited for (a child forked while other threads run may not start threads
// of its own under ThreadSanitizer); their results in order, within one shared `timeoutMs`.
std::vector<int> runInChildren(const std::vector<std::function<int()>>& bodies, int timeoutMs);

}  // namespace qm_test
