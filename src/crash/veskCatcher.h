// The process-wide crash catcher. Breakpad's exception handler writes a minidump on a fatal
// signal; the catcher writes the crash record it prepared beforehand beside it, then, still
// inside the dying process, sends the dump as one crash record to the main channel's
// collector and runs the application's crash callback. Dump and record are deleted once the
// collector accepted them; otherwise they stay for the sending thread of a next start.
//
//   veskCatcher.cpp         configuration, reading the dump and building the crash record
//   veskCatcherNdk.cpp      installing Breakpad and the callback it calls after a dump
//   veskCatcherNoDump.cpp   the same entry points for builds without Breakpad
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "crash/preparedCrash.h"
#include "record/vesk2Define.h"
#include "thread/crossThread.h"
#include "transport/crashDelivery.h"
#include "transport/pendingCrashes.h"
#include "util/vesk2Utils.h"

namespace google_breakpad {
class ExceptionHandler;
}
typedef google_breakpad::ExceptionHandler BreakException;

typedef void (*crash_func_type)(void*);

class VeskCatcher {
public:
    // Largest minidump that is sent, in bytes.
    static constexpr long MAX_FILE_SIZE = pendingCrashes::kMaxDumpBytes;
    // How long the crash path waits for a lock. The holder may be the crashed thread itself,
    // which will never let go, so the report goes on without the lock after this.
    static constexpr int kCrashLockWaitMs = 500;

    VeskCatcher();
    ~VeskCatcher();
    VeskCatcher(const VeskCatcher&) = delete;
    VeskCatcher& operator=(const VeskCatcher&) = delete;

    void initSdCardPath(const std::string& sdcardPath);
    // delivery prepares the crash record and sends the report; it must stay alive until
    // forgetDelivery names it.
    void initCrashServer(const std::string& strAdd, uint16_t uiPort, const CrashDelivery* delivery);
    // The owner of delivery is going: the catcher no longer uses it.
    void forgetDelivery(const CrashDelivery* delivery);
    void initCrashCallback(crash_func_type fnCrashCallback, void* content);

    bool openCrashCatcher();
    void closeCrashCatcher();
    // Directory the installed handler writes dumps into; empty while closed.
    std::string dumpDirectory() const;

    // What became of a crash report, and so of its dump.
    enum class ReportResult {
        kDelivered,  // the collector accepted it: the dump and its record go
        kKept,       // not sent or not accepted: both stay for a next start
        kDropped,    // the dump cannot be sent (unreadable, empty, over the limit): both go
    };
    ReportResult sendCrashReport(const std::string& strBody, const std::string& dmpPath);
    ReportResult sendCrashReport(const std::string& strBody, const std::string& dmpPath,
                                 const MapValues& mapFields);

    // Serialises the crash record again from the main channel; the registry's observer calls
    // it whenever one of its inputs changes.
    void refreshPreparedRecord();
    // Async-signal-safe: the prepared record beside the dump (PreparedCrash::writeBeside).
    bool writePreparedRecord(const char* dumpPath);
    // The report is over: the record written beside the dump is let go.
    void releasePreparedRecord();

private:
    struct BreakExceptionDeleter {
        void operator()(BreakException* handler) const;
    };
    // What a crash report needs of the configuration, copied in one go.
    struct ReportSettings {
        bool inited = false;
        std::string address;
        uint16_t port = 0;
        crash_func_type callback = nullptr;
        void* content = nullptr;
    };

    bool _openCrashCatcherNdk(const std::string& sdcardPath);
    ReportSettings reportSettings() const;
    // A copy of m_mapCrash with mapFields and the crash's own entries over it, for one report.
    MapValues completeCrashMap(const std::string& strBody, const MapValues& mapFields);

    std::unique_ptr<BreakException, BreakExceptionDeleter> m_pBreakPad;
    std::string m_sdcardPatch;
    MapValues m_mapCrash;
    std::timed_mutex m_mtxCrash;
    void* m_pCrashContentCb = nullptr;
    crash_func_type m_fnCrashCb = nullptr;
    std::string m_strAdd;
    uint16_t m_uiPort = 0;
    bool m_bInited = false;
    std::atomic<const CrashDelivery*> m_delivery{nullptr};
    std::mutex m_mtxPrepare;
    // Under m_mtxPrepare.
    CrashMembers m_members;
    PreparedCrash m_prepared;
    // Guards the configuration and the handler: application threads change them while a
    // crash on another thread reads them.
    mutable std::timed_mutex m_mtxConfig;
};

// The one catcher of the process, created at load and never destroyed.
extern VeskCatcher& gs_crashCatcher;
