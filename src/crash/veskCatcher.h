// The process-wide crash catcher. Capturing native crashes is not built yet: the catcher keeps
// its configuration and refuses to open.
#pragma once

#include <cstdint>
#include <string>

#include "record/vesk2Define.h"
#include "thread/crossThread.h"

typedef void (*crash_func_type)(void*);

class VeskCatcher {
public:
    void initCrashServer(const std::string& strAddr, uint16_t uiPort);
    void initSdCardPath(const std::string& strPath);
    void initCrashCallbak(crash_func_type fnCrashCallback, void* content);
    bool openCrashCatcher(bool bBackground, VESK_LANG_TYPE eLangType);
    void closeCrashCatcher();

private:
    Threads::Mutex m_lock;
    std::string m_strAddr;
    uint16_t m_uiPort = 0;
    std::string m_strDumpPath;
    crash_func_type m_fnCallback = nullptr;
    void* m_pCallbackContent = nullptr;
};

// The one catcher of the process, created at load and never destroyed.
extern VeskCatcher& gs_globalCracher;
