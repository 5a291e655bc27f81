// External crash reporter launcher: there is none on this platform.
#include "util/utilLauncher.h"

bool UtilLauncher::launchCrashReporter(const std::string& exePath, const std::string& pairSvr,
                                       const std::string& dmpPath, const std::string& msgJson,
                                       int32_t eLangType) {
    (void)exePath;
    (void)pairSvr;
    (void)dmpPath;
    (void)msgJson;
    (void)eLangType;
    return false;
}
