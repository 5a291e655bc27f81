// The one rule for what counts as a character in text the library sends: shared by the record
// writer and the crash record's signal-time writer, so both keep the same bytes.
#pragma once

#include <cstddef>

namespace utf8 {

// Length of the well-formed UTF-8 sequence at text (size bytes readable), 0 when there is none:
// no overlong forms, no surrogates, nothing above U+10FFFF (the forms strict JSON readers
// accept). Async-signal-safe: no allocation, no locale.
inline size_t sequenceLength(const unsigned char* text, size_t size) {
    const auto inRange = [](unsigned char byte, unsigned char low, unsigned char high) {
        return byte >= low && byte <= high;
    };
    const unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (inRange(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (inRange(lead, 0xE0, 0xEF)) {
        length = 3;
        if (lead == 0xE0) secondLow = 0xA0;
        if (lead == 0xED) secondHigh = 0x9F;
    } else if (inRange(lead, 0xF0, 0xF4)) {
        length = 4;
        if (lead == 0xF0) secondLow = 0x90;
        if (lead == 0xF4) secondHigh = 0x8F;
    } else {
        return 0;
    }
    if (size < length || !inRange(text[1], secondLow, secondHigh)) return 0;
    for (size_t k = 2; k < length; ++k) {
        if (!inRange(text[k], 0x80, 0xBF)) return 0;
    }
    return length;
}

}  // namespace utf8
