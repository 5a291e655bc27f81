// Memory for a stack of its own: pages are backed only once touched, and a guard page below it
// makes an overrun fault instead of writing over someone else's memory (stacks grow down).
#pragma once

#include <cstddef>

class GuardedStack {
public:
    // Maps `size` usable bytes; invalid when the mapping could not be made.
    explicit GuardedStack(size_t size);
    ~GuardedStack();
    GuardedStack(const GuardedStack&) = delete;
    GuardedStack& operator=(const GuardedStack&) = delete;

    bool valid() const { return m_base != nullptr; }
    // Lowest usable byte, just above the guard page.
    void* bottom() const;
    size_t size() const { return m_size; }

private:
    void* m_base = nullptr;
    size_t m_size = 0;
    size_t m_guard = 0;
};
