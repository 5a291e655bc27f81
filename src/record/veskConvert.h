// The one table of the internal log levels: which values name a level, and the text a record
// carries for it. The public levels have the same values, so the facade converts with it too.
#pragma once

#include "record/vesk2Define.h"

class VeskConvert {
public:
    VeskConvert() = delete;

    // The level the value names; a value that names none is DEBUG, which is never sent.
    static VESK_LOG_LEVEL namedLevel(int value);
    // The text of "logLevel"; "INFO" for a value that names no level.
    static const char* levelToString(VESK_LOG_LEVEL eLevel);
};
