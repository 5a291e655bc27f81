#include "crash/veskCatcher.h"

#include "util/noDestructor.h"

namespace {
// Never destroyed: a crash may be reported while the process is already exiting.
NoDestructor<VeskCatcher> gs_catcher;
}  // namespace

VeskCatcher& gs_globalCracher = *gs_catcher;

void VeskCatcher::initCrashServer(const std::string& strAddr, uint16_t uiPort) {
    Threads::Mutex::scoped_lock lock(m_lock);
    m_strAddr = strAddr;
    m_uiPort = uiPort;
}

void VeskCatcher::initSdCardPath(const std::string& strPath) {
    Threads::Mutex::scoped_lock lock(m_lock);
    m_strDumpPath = strPath;
}

void VeskCatcher::initCrashCallbak(crash_func_type fnCrashCallback, void* content) {
    Threads::Mutex::scoped_lock lock(m_lock);
    m_fnCallback = fnCrashCallback;
    m_pCallbackContent = content;
}

// Crash capture is not available in this build yet.
bool VeskCatcher::openCrashCatcher(bool, VESK_LANG_TYPE) { return false; }

void VeskCatcher::closeCrashCatcher() {}
