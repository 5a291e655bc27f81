#include "transport/journalFaults.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace journalFaults {

// A slot's `begin` is 0 when free.
struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> lost{false};
};

namespace {

constexpr size_t kSlots = 16;
Slot g_slots[kSlots];
// A slot being filled: the handler skips it.
constexpr uintptr_t kClaiming = 1;
struct sigaction g_previous;

bool anonymous(uintptr_t begin, size_t bytes) {
    return mmap(reinterpret_cast<void*>(begin), bytes, PROT_READ | PROT_WRITE,
                MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
}

// Async-signal-safe.
bool takeOver(const void* address) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    for (Slot& slot : g_slots) {
        const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        if (begin <= kClaiming || at < begin || at >= slot.end.load(std::memory_order_acquire))
            continue;
        if (!anonymous(begin, slot.end.load(std::memory_order_acquire) - begin)) return false;
        slot.lost.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

// Faults elsewhere are not ours: they go on to the handler installed before, as if we were
// not there.
void onBusError(int signal, siginfo_t* info, void* context) {
    if (recover(info)) return;
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    // One sent by kill() stays ignored; a fault cannot be.
    if (g_previous.sa_handler == SIG_IGN && info != nullptr && info->si_code <= 0) return;
    // The process ends as it would have: the signal, raised again, is delivered on return.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
    raise(signal);
}

void installHandler() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_previous);
    });
}

}  // namespace

Slot* watch(void* begin, size_t bytes) {
    installHandler();
    const uintptr_t at = reinterpret_cast<uintptr_t>(begin);
    for (Slot& slot : g_slots) {
        uintptr_t free = 0;
        if (!slot.begin.compare_exchange_strong(free, kClaiming)) continue;
        slot.lost.store(false);
        slot.end.store(at + bytes);
        slot.begin.store(at, std::memory_order_release);
        return &slot;
    }
    return nullptr;
}

void release(Slot* slot) { slot->begin.store(0, std::memory_order_release); }

bool lost(const Slot* slot) { return slot->lost.load(std::memory_order_acquire); }

void giveUp(Slot* slot) {
    if (lost(slot)) return;
    const uintptr_t begin = slot->begin.load(std::memory_order_acquire);
    anonymous(begin, slot->end.load(std::memory_order_acquire) - begin);
    slot->lost.store(true, std::memory_order_release);
}

bool recover(const siginfo_t* info) { return info != nullptr && takeOver(info->si_addr); }

}  // namespace journalFaults
