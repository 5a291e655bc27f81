#include "crash/signalStack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace signalStack {
namespace {

std::atomic<bool> g_enabled{false};

// The mapping behind the calling thread's stack; switched off and unmapped at thread exit.
class ThreadStack {
public:
    ThreadStack() = default;
    ~ThreadStack() {
        if (m_base == nullptr) return;
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == usable()) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(m_base, m_mapped);
    }
    ThreadStack(const ThreadStack&) = delete;
    ThreadStack& operator=(const ThreadStack&) = delete;

    void install() {
        const size_t guard = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* mapped = mmap(nullptr, kSize + guard, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapped == MAP_FAILED) return;
        // Stacks grow down: an overrun of the handler hits the guard page.
        if (mprotect(mapped, guard, PROT_NONE) != 0) {
            munmap(mapped, kSize + guard);
            return;
        }
        m_base = mapped;
        m_mapped = kSize + guard;
        m_guard = guard;
        stack_t mine{};
        mine.ss_sp = usable();
        mine.ss_size = kSize;
        if (sigaltstack(&mine, nullptr) != 0) {
            munmap(m_base, m_mapped);
            m_base = nullptr;
        }
    }

private:
    void* usable() const { return static_cast<char*>(m_base) + m_guard; }

    void* m_base = nullptr;
    size_t m_mapped = 0;
    size_t m_guard = 0;
};

thread_local bool t_checked = false;

bool hasStack() {
    stack_t current{};
    return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

}  // namespace

void enable() { g_enabled.store(true, std::memory_order_release); }

void ensureForThisThread() {
    if (t_checked || !g_enabled.load(std::memory_order_acquire)) return;
    t_checked = true;
    if (hasStack()) return;
    static thread_local ThreadStack stack;
    stack.install();
}

}  // namespace signalStack
