#include "crash/signalStack.h"

#include <signal.h>

#include <atomic>
#include <memory>

#include "crash/guardedStack.h"

namespace signalStack {
namespace {

std::atomic<bool> g_enabled{false};

// The calling thread's stack; switched off before it is unmapped at thread exit, so that no
// signal can land on memory that is gone.
class ThreadStack {
public:
    ThreadStack() = default;
    ~ThreadStack() {
        if (!m_stack) return;
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == m_stack->bottom()) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
    }
    ThreadStack(const ThreadStack&) = delete;
    ThreadStack& operator=(const ThreadStack&) = delete;

    void install() {
        auto stack = std::make_unique<GuardedStack>(kSize);
        if (!stack->valid()) return;
        stack_t mine{};
        mine.ss_sp = stack->bottom();
        mine.ss_size = stack->size();
        if (sigaltstack(&mine, nullptr) == 0) m_stack = std::move(stack);
    }

private:
    std::unique_ptr<GuardedStack> m_stack;
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
