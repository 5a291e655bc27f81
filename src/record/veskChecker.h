// Validation of project names, versions and custom field keys.
#pragma once

#include <set>
#include <string>

class VeskChecker {
public:
    VeskChecker() = delete;

    static bool checkProjectName(const std::string& strPrj);
    static bool checkProjectVersion(const std::string& strVer);
    static bool checkCustomKey(const std::string& strKey);
};

// The reserved keys (written by the library into every record) a custom field must not take.
class KeySetLimit {
public:
    KeySetLimit();
    static bool isValidKey(const std::string& strKey);

private:
    bool _isDuplicate(const std::string& strKey) const;
    std::set<std::string> m_setLimits;
};

constexpr size_t KEY_MAX_LENGHT = 64;
