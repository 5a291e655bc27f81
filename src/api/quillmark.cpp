// The factory of the exported interface.
#include <atomic>
#include <mutex>
#include <new>

#include "api/quillmark_impl.h"
#include "thread/forkGuard.h"
#include "util/noDestructor.h"

namespace {
// Read without a lock by every call; created and destroyed under gs_factoryMutex, so two first
// calls on two threads build one facade, and two destroys delete it once.
std::atomic<PlumeLogImpl*> gs_PlumeLogImpl{nullptr};
NoDestructor<std::mutex> gs_factoryMutex;

// Refuses every operation: handed out when no facade can be had (out of memory, or a forked
// child, which must not wait on the factory's lock). Built at load time, not on first use, so
// no initialisation guard can be held at a fork.
NoDestructor<PlumeLogImpl> gs_refusingFacade(PlumeLogImpl::Refusing{});

PlumeLogImpl& refusingFacade() { return *gs_refusingFacade; }
}  // namespace

PlumeLogImpl* currentPlumeLog() { return gs_PlumeLogImpl.load(); }

extern "C" QUILLMARK_API plume::quillmark::PlumeLog* GetPlumeLog() {
    PlumeLogImpl* facade = gs_PlumeLogImpl.load();
    if (facade != nullptr) return facade;
    if (Threads::inForkedChild()) return &refusingFacade();
    try {
        std::lock_guard<std::mutex> lock(*gs_factoryMutex);
        facade = gs_PlumeLogImpl.load();
        if (facade == nullptr) {
            Threads::watchForks();
            facade = new PlumeLogImpl();
            gs_PlumeLogImpl.store(facade);
        }
        return facade;
    } catch (...) {
        return &refusingFacade();
    }
}

extern "C" QUILLMARK_API void DestroyPlumeLog() {
    if (Threads::inForkedChild()) {
        // Its destruction would join threads this process does not have: forgotten, not freed.
        gs_PlumeLogImpl.store(nullptr);
        return;
    }
    try {
        std::lock_guard<std::mutex> lock(*gs_factoryMutex);
        // Deleted under the lock: a new facade is made only once this one's sending thread ended.
        delete gs_PlumeLogImpl.exchange(nullptr);
    } catch (...) {
        // std::mutex::lock failed: the facade stays.
    }
}
