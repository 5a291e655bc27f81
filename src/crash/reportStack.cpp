#include "crash/reportStack.h"

#include <sys/mman.h>
#include <unistd.h>

#include "crash/stackSwitch.h"

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
    // Above the guard page.
    const size_t guard = m_mappedSize - kSize;
    quillmark_call_on_stack(fn, arg, static_cast<char*>(m_pBase) + guard, kSize);
    return true;
}
