#include "crash/guardedStack.h"

#include <sys/mman.h>
#include <unistd.h>

GuardedStack::GuardedStack(size_t size) {
    const size_t guard = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mapped = mmap(nullptr, size + guard, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return;
    if (mprotect(mapped, guard, PROT_NONE) != 0) {
        munmap(mapped, size + guard);
        return;
    }
    m_base = mapped;
    m_size = size;
    m_guard = guard;
}

GuardedStack::~GuardedStack() {
    if (m_base != nullptr) munmap(m_base, m_size + m_guard);
}

void* GuardedStack::bottom() const { return static_cast<char*>(m_base) + m_guard; }
