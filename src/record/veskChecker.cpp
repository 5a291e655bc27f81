// Validation of project names, versions and custom field keys.
#include "record/veskChecker.h"

namespace {

// True when every byte of text is one of the bytes of allowed.
bool _onlyFrom(const std::string& text, const std::string& allowed) {
    return text.find_first_not_of(allowed) == std::string::npos;
}

bool _startsWithOneOf(const std::string& text, const std::string& allowed) {
    return !text.empty() && allowed.find(text[0]) != std::string::npos;
}

}  // namespace

bool VeskChecker::checkProjectName(const std::string& strPrj) {
    static const std::string PROJECT_CHECKER(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
    static const std::string PROJECT_PREFIX(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    if (strPrj.empty()) return false;
    if (!_onlyFrom(strPrj, PROJECT_CHECKER)) return false;
    return _startsWithOneOf(strPrj, PROJECT_PREFIX);
}

bool VeskChecker::checkProjectVersion(const std::string& strVer) {
    static const std::string VERSION_CHECKER(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.");
    static const std::string VERSION_PREFIX(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_");
    if (strVer.empty()) return false;
    if (!_onlyFrom(strVer, VERSION_CHECKER)) return false;
    return _startsWithOneOf(strVer, VERSION_PREFIX);
}

bool VeskChecker::checkCustomKey(const std::string& strKey) {
    return KeySetLimit::isValidKey(strKey);
}

KeySetLimit::KeySetLimit() {
    static const char* const kReserved[] = {
        "projectname", "projectversion", "host",     "body",    "logtype",
        "logsource",   "logtime",        "sendtime", "loglevel", "userid",
        "platform",    "dmpdata",        "dmpreport"};
    for (const char* key : kReserved) m_setLimits.insert(key);
}

bool KeySetLimit::isValidKey(const std::string& strKey) {
    static const std::string CUSTOM_KEY_CHECKER(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
    static const std::string FIRST_CHECKER("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    static const KeySetLimit gs_keysLimit;

    if (strKey.size() < 1 || strKey.size() > KEY_MAX_LENGHT) return false;
    if (gs_keysLimit._isDuplicate(strKey)) return false;
    if (!_onlyFrom(strKey, CUSTOM_KEY_CHECKER)) return false;
    return _startsWithOneOf(strKey, FIRST_CHECKER);
}

bool KeySetLimit::_isDuplicate(const std::string& strKey) const {
    std::string strCmp(strKey);
    for (char& ch : strCmp) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');  // ASCII only
    }
    return m_setLimits.find(strCmp) != m_setLimits.end();
}
