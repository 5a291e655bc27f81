#include "thread/forkGuard.h"

#include <pthread.h>

#include <atomic>

namespace Threads {

namespace {

// Lock-free, so the child handler and every later read stay async-signal-safe.
std::atomic<bool> gs_forkedChild{false};
std::atomic<bool> gs_watching{false};

void markChild() { gs_forkedChild.store(true); }

}  // namespace

void watchForks() {
    // pthread_atfork cannot unregister: exactly one registration per process.
    if (gs_watching.exchange(true)) return;
    pthread_atfork(nullptr, nullptr, &markChild);
}

bool inForkedChild() { return gs_forkedChild.load(); }

}  // namespace Threads
