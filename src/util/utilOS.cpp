// The platform name carried by every record.
#include "util/utilOS.h"

std::string UtilOS::getOSInformation() {
    // Function-static, created once, thread-safely, on first use: "Unknown" turned into the
    // platform name inside the initialiser, so no caller ever writes it afterwards.
    static const std::string s_strPlatform = [] {
        std::string platform = "Unknown";
        if (platform == "Unknown") platform = "Android(NDK)";
        return platform;
    }();
    return s_strPlatform;
}
