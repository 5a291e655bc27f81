#pragma once

#include <string>

#include "record/vesk2Define.h"

class VeskConvert {
public:
    VeskConvert() = delete;

    static std::string levelToString(VESK_LOG_LEVEL eLevel);
    static int levelToInteger(VESK_LOG_LEVEL eLevel);
    static VESK_LOG_LEVEL integerToLevel(int iLevel);
    static std::string integerToString(int iLevel);
};
