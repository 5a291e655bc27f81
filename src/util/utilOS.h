#pragma once

#include <string>

class UtilOS {
public:
    UtilOS() = delete;
    // The operating-system description carried by every record: "Android(NDK)".
    static std::string getOSInformation();
};
