// Conversions of the internal log level.
#include "record/veskConvert.h"

namespace {

// Values 0 to 7 index this table; everything else (taken as unsigned, so negatives too) is
// INFO. The named levels map to themselves.
const int kLevelTable[8] = {0, 5, 5, 3, 4, 5, 5, 7};

int _normalizeLevel(int iLevel) {
    const unsigned int index = static_cast<unsigned int>(iLevel);
    return index < 8 ? kLevelTable[index] : static_cast<int>(VESK_LL_INFO);
}

}  // namespace

std::string VeskConvert::levelToString(VESK_LOG_LEVEL eLevel) {
    switch (static_cast<int>(eLevel)) {
        case VESK_LL_FATAL:
            return "FATAL";
        case VESK_LL_ERROR:
            return "ERROR";
        case VESK_LL_WARN:
            return "WARN";
        case VESK_LL_DEBUG:
            return "DEBUG";
        default:  // VESK_LL_NONE, VESK_LL_INFO and every unnamed value
            return "INFO";
    }
}

int VeskConvert::levelToInteger(VESK_LOG_LEVEL eLevel) {
    return _normalizeLevel(static_cast<int>(eLevel));
}

VESK_LOG_LEVEL VeskConvert::integerToLevel(int iLevel) {
    return static_cast<VESK_LOG_LEVEL>(_normalizeLevel(iLevel));
}

std::string VeskConvert::integerToString(int iLevel) {
    return levelToString(integerToLevel(iLevel));
}
