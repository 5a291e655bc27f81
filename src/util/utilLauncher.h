#pragma once

#include <cstdint>
#include <string>

class UtilLauncher {
public:
    UtilLauncher() = delete;
    // No external crash reporter exists on this platform: does nothing, returns false.
    static bool launchCrashReporter(const std::string& exePath, const std::string& pairSvr,
                                    const std::string& dmpPath, const std::string& msgJson,
                                    int32_t eLangType);
};
