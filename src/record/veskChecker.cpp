// Validation of project names and versions.
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
