// Process-wide objects that background threads may still use while the process exits: they
// are built in place on first use and never destroyed, so no thread sees a destroyed object.
#pragma once

#include <new>
#include <utility>

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    T* operator->() { return &get(); }
    T& operator*() { return get(); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};
