#include "crash/reportStack.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

// makecontext passes only int arguments; the call in flight is handed over here instead.
struct PendingCall {
    void (*fn)(void*) = nullptr;
    void* arg = nullptr;
};
PendingCall* g_pendingCall = nullptr;

void _runPendingCall() { g_pendingCall->fn(g_pendingCall->arg); }

}  // namespace

ReportStack::ReportStack() {
    const size_t guard = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mapped = mmap(nullptr, kSize + guard, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return;
    // Stacks grow down: an overrun hits the guard page instead of someone else's memory.
    if (mprotect(mapped, guard, PROT_NONE) != 0) {
        munmap(mapped, kSize + guard);
        return;
    }
    m_pBase = mapped;
    m_mappedSize = kSize + guard;
}

ReportStack::~ReportStack() {
    if (m_pBase != nullptr) munmap(m_pBase, m_mappedSize);
}

bool ReportStack::run(void (*fn)(void*), void* arg) {
    if (!valid()) return false;
    ucontext_t caller;
    ucontext_t report;
    if (getcontext(&report) != 0) return false;
    report.uc_stack.ss_sp = m_pBase;
    report.uc_stack.ss_size = m_mappedSize;
    report.uc_link = &caller;
    makecontext(&report, _runPendingCall, 0);

    PendingCall call;
    call.fn = fn;
    call.arg = arg;
    g_pendingCall = &call;
    const bool switched = swapcontext(&caller, &report) == 0;
    g_pendingCall = nullptr;
    return switched;
}
