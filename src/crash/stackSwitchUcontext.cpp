// The stack switch for hosts other than x86 and x86_64, through the C library's ucontext
// functions (which Android's C library lacks; Android builds are x86 and use
// stackSwitchX86.cpp).
#include <ucontext.h>

#include "crash/stackSwitch.h"

namespace {

// makecontext passes only int arguments; the call in flight is handed over here instead.
struct PendingCall {
    void (*fn)(void*) = nullptr;
    void* arg = nullptr;
};
PendingCall* g_pendingCall = nullptr;

void _runPendingCall() { g_pendingCall->fn(g_pendingCall->arg); }

}  // namespace

extern "C" void quillmark_call_on_stack(void (*fn)(void*), void* arg, void* stackLow, size_t size) {
    ucontext_t caller;
    ucontext_t report;
    if (getcontext(&report) != 0) {
        fn(arg);
        return;
    }
    report.uc_stack.ss_sp = stackLow;
    report.uc_stack.ss_size = size;
    report.uc_link = &caller;
    makecontext(&report, _runPendingCall, 0);
    PendingCall call;
    call.fn = fn;
    call.arg = arg;
    g_pendingCall = &call;
    if (swapcontext(&caller, &report) != 0) fn(arg);
    g_pendingCall = nullptr;
}
