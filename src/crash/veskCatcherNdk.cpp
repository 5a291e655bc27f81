// Installing Breakpad's exception handler, and the callback it calls on the crashing thread
// once it has written a minidump.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "client/linux/handler/exception_handler.h"
#include "client/linux/handler/minidump_descriptor.h"
#include "crash/crashWatchdog.h"
#include "crash/reportStack.h"
#include "crash/signalStack.h"
#include "crash/veskCatcher.h"
#include "transport/journalFaults.h"
#include "transport/pendingCrashes.h"
#include "util/noDestructor.h"
#include "util/utilLog.h"

namespace {

// The dump and its record go only when the report leaves nothing to send: delivered, or a dump
// that can never be sent. Otherwise both stay for the sending thread of a next start, and the
// record's lock is let go so that start may take it.
void _settle(VeskCatcher& client, const std::string& dmpPath, VeskCatcher::ReportResult result) {
    if (result == VeskCatcher::ReportResult::kKept) {
        _warn_log("crash kept for the next start");
    } else {
        _info_log("delete old crash");
        pendingCrashes::Crash crash;
        crash.dumpPath = dmpPath;
        pendingCrashes::discard(crash);
        _info_log("delete done");
    }
    client.releasePreparedRecord();
}

void _reportAndSettle(VeskCatcher& client, const std::string& strBody, const std::string& dmpPath) {
    _info_log("sendcrash start");
    VeskCatcher::ReportResult result = VeskCatcher::ReportResult::kKept;
    try {
        result = client.sendCrashReport(strBody, dmpPath);
    } catch (...) {
        _error_log("crash report Exception: the crash is kept");
    }
    _settle(client, dmpPath, result);
}

// Made at the first open, not in the crash; never unmapped, a crash may be in flight at exit.
ReportStack& _reportStack() {
    static NoDestructor<ReportStack> stack;
    return *stack;
}

// Made at the first open, like the report stack; its thread ends when the catcher closes.
CrashWatchdog& _watchdog() {
    static NoDestructor<CrashWatchdog> watchdog;
    return *watchdog;
}

// Breakpad calls this first, in the signal handler, before the dump is written: from here on
// the process dies within the watchdog's bound, whatever the dump or the report block in.
bool _armWatchdog(int signo, siginfo_t* info, void*) {
    // A journal file cut short from outside faults the application's next write into it; that
    // is no crash, and the write goes on.
    if (signo == SIGBUS && journalFaults::recover(info)) return true;
    // One crash per process: a thread that faults while another's crash is handled (or the
    // crashed thread faulting again inside its report) would write a second dump, without a
    // record, which a next start sends as a crash of its own. It waits here for the end the
    // first crash's watchdog sets.
    static std::atomic_flag crashing = ATOMIC_FLAG_INIT;
    if (crashing.test_and_set()) {
        for (;;) pause();
    }
    _watchdog().arm(signo);
    return false;  // not handled here: Breakpad goes on and writes the dump
}

struct DumpInfo {
    const char* path;
    void* context;
};

// Runs on the report stack: nothing may escape it, there is no caller frame to unwind into.
void _handleDump(void* info) {
    const DumpInfo& dump = *static_cast<const DumpInfo*>(info);
    _info_log("crash dump process start");
    try {
        const std::string strBody = VESK_CRASH_BODY;
        const std::string dmpPath = dump.path;
        if (dump.context == nullptr) {
            _error_log("no context");
        } else {
            _reportAndSettle(*static_cast<VeskCatcher*>(dump.context), strBody, dmpPath);
        }
    } catch (...) {
        _error_log("crash dump process Exception");
    }
    _info_log("crashCallback finish");
}

bool crashCallback(const google_breakpad::MinidumpDescriptor& descriptor, void* context,
                   bool successed) {
    // Still in the signal handler, before anything that can block: from here on the crash is
    // on disk whatever the report runs into.
    if (context != nullptr && successed) {
        static_cast<VeskCatcher*>(context)->writePreparedRecord(descriptor.path());
    }
    // A forked child has no watchdog of its own, and a lock one of its parent's threads held at
    // the fork (the allocator's among them) is never let go here: a report could wait for ever,
    // its record locked. Dump and record stay on disk for the next start, and the child dies.
    if (_watchdog().startedInAnotherProcess()) return successed;
    DumpInfo dump{descriptor.path(), context};
    if (!_reportStack().run(_handleDump, &dump)) _handleDump(&dump);
    return successed;
}

}  // namespace

// Deleting the handler is how the catcher closes: the watchdog has nothing left to watch.
void VeskCatcher::BreakExceptionDeleter::operator()(BreakException* handler) const {
    delete handler;
    _watchdog().stop();
}

bool VeskCatcher::_openCrashCatcherNdk(const std::string& sdcardPath) {
    const std::string directory = sdcardPath;
    if (directory.empty()) return false;
    if (access(directory.c_str(), R_OK | W_OK) != 0) return false;
    _info_log("_openCrashCatcherNdk : " + directory);

    if (!_reportStack().valid()) _warn_log("no report stack: the report runs on the signal stack");
    std::lock_guard lock(m_mtxConfig);
    // An open catcher stays as it is: a second open changes neither handler nor directory.
    if (!m_pBreakPad) {
        if (!_watchdog().start()) _warn_log("no crash watchdog: a blocked report may hang");
        google_breakpad::SetFirstChanceExceptionHandler(_armWatchdog);
        signalStack::enable();
        const google_breakpad::MinidumpDescriptor descriptor(directory);
        m_pBreakPad.reset(new (std::nothrow)
                              BreakException(descriptor, nullptr, crashCallback, this, true, -1));
    }
    if (!m_pBreakPad) _watchdog().stop();
    return m_pBreakPad != nullptr;
}

std::string VeskCatcher::dumpDirectory() const {
    std::lock_guard lock(m_mtxConfig);
    return m_pBreakPad ? m_pBreakPad->minidump_descriptor().directory() : std::string();
}
