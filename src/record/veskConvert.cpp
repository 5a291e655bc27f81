#include "record/veskConvert.h"

namespace {

struct NamedLevel {
    VESK_LOG_LEVEL level;
    const char* text;
};

constexpr NamedLevel kLevels[] = {{VESK_LL_FATAL, "FATAL"},
                                  {VESK_LL_ERROR, "ERROR"},
                                  {VESK_LL_WARN, "WARN"},
                                  {VESK_LL_INFO, "INFO"},
                                  {VESK_LL_DEBUG, "DEBUG"}};

const NamedLevel* _find(int value) {
    for (const NamedLevel& named : kLevels) {
        if (static_cast<int>(named.level) == value) return &named;
    }
    return nullptr;
}

}  // namespace

VESK_LOG_LEVEL VeskConvert::namedLevel(int value) {
    const NamedLevel* named = _find(value);
    return named != nullptr ? named->level : VESK_LL_DEBUG;
}

const char* VeskConvert::levelToString(VESK_LOG_LEVEL eLevel) {
    const NamedLevel* named = _find(static_cast<int>(eLevel));
    return named != nullptr ? named->text : "INFO";
}
