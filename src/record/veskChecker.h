// Validation of project names and versions.
#pragma once

#include <string>

class VeskChecker {
public:
    VeskChecker() = delete;

    static bool checkProjectName(const std::string& strPrj);
    static bool checkProjectVersion(const std::string& strVer);
};
