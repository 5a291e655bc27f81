// The process-wide crash catcher. Breakpad's exception handler writes a minidump on a fatal
// signal; the catcher then, still inside the dying process, sends the dump as one crash record
// to the main channel's collector, runs the application's crash callback and deletes the dump.
//
//   veskCatcher.cpp         configuration, reading the dump and building the crash record
//   veskCatcherNdk.cpp      installing Breakpad and the callback it calls after a dump
//   veskCatcherNoDump.cpp   the same entry points for builds without Breakpad
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "record/vesk2Define.h"
#include "thread/crossThread.h"
#include "transport/httpSender.h"
#include "util/vesk2Utils.h"

namespace google_breakpad {
class ExceptionHandler;
}
typedef google_breakpad::ExceptionHandler BreakException;

typedef void (*crash_func_type)(void*);

class VeskCatcher {
public:
    // Largest minidump that is sent, in bytes.
    static constexpr long MAX_FILE_SIZE = 0x800000;
    // How long the crash path waits for a lock. The holder may be the crashed thread itself,
    // which will never let go, so the report goes on without the lock after this.
    static constexpr int kCrashLockWaitMs = 500;

    VeskCatcher();
    ~VeskCatcher();
    VeskCatcher(const VeskCatcher&) = delete;
    VeskCatcher& operator=(const VeskCatcher&) = delete;

    void initSdCardPath(const std::string& sdcardPath);
    void initCrashServer(const std::string& strAdd, uint16_t uiPort);
    void initCrashCallbak(crash_func_type fnCrashCallback, void* content);
    // The report's undelivered record is shown to this observer as well (see m_onStore of
    // HttpSender); empty by default.
    void initStoreObserver(const HttpSender::StoreObserver& observer);
    void updateCrashMap(Map_String& mapCustom);

    bool openCrashCatcher(bool bBackground, VESK_LANG_TYPE eLangType);
    void closeCrashCatcher();
    // Directory the installed handler writes dumps into; empty while closed.
    std::string dumpDirectory() const;

    void sendCrashReport(const std::string& strBody, const std::string& dmpPath);
    void sendCrashReport(const std::string& strBody, const std::string& dmpPath,
                         const Map_String& mapFields);

    static bool readFileToString(const std::string& filePath, std::string& fileContent);

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
        HttpSender::StoreObserver onStore;
    };

    bool _openCrashCatcherNdk(bool bBackground, VESK_LANG_TYPE eLang,
                              const std::string& sdcardPath);
    ReportSettings reportSettings() const;
    // m_mapCrash completed with the crash keys, then copied for the report.
    Map_String completeCrashMap(const std::string& strBody, const Map_String& mapFields);

    std::unique_ptr<BreakException, BreakExceptionDeleter> m_pBreakPad;
    // Kept for a crash reporter program; nothing on this platform starts one.
    std::string m_pathCatcher = "crashReport.exe";
    std::string m_sdcardPatch;
    bool m_bBackground = false;
    VESK_LANG_TYPE m_eLangUI = VESK_LANG_DEFAULT;
    Map_String m_mapCrash;
    Threads::Mutex m_mtxCrash;
    void* m_pCrashContentCb = nullptr;
    crash_func_type m_fnCrashCb = nullptr;
    std::string m_strAdd;
    uint16_t m_uiPort = 0;
    bool m_bInited = false;
    HttpSender::StoreObserver m_onStore;
    // Guards the configuration and the handler: application threads change them while a
    // crash on another thread reads them.
    Threads::Mutex m_mtxConfig;
};

// The one catcher of the process, created at load and never destroyed.
extern VeskCatcher& gs_globalCracher;
