// Under the sanitizers and under qemu-user every instruction costs several times what it does
// natively. Loops whose count is not itself the rule under test (rounds, laps, forks) run fewer
// times there, so the stage ends within its time; the native build runs the full count.
#pragma once

#include <cstdlib>

namespace qm_test {

inline bool slowBuild() {
#if defined(QM_TEST_SANITIZED)
    return true;
#else
    // Set by the i386 toolchain's emulator line for every program it runs.
    static const bool emulated = std::getenv("QM_UNDER_QEMU") != nullptr;
    return emulated;
#endif
}

// `native` in a native build, `slow` where slowBuild() holds.
template <typename Count>
Count countFor(Count native, Count slow) {
    return slowBuild() ? slow : native;
}

}  // namespace qm_test
