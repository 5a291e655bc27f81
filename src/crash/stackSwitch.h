// The one step of the crash report that cannot be written in C++: moving to another stack.
#pragma once

#include <cstddef>

extern "C" {
// Calls fn(arg) on the stack [stackLow, stackLow + size) (it grows down from the high end) and
// returns on the caller's own stack once fn has returned; when the stack cannot be switched
// to, fn runs on the caller's stack. fn must not throw.
void quillmark_call_on_stack(void (*fn)(void*), void* arg, void* stackLow, size_t size);
}
