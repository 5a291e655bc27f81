// A UTF-8 checker written apart from the library's own, so the fuzz targets do not judge the
// library's repair with the library's rules: code points are decoded and then tested against
// what Unicode allows, instead of matching byte ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_support {

inline bool isWellFormedUtf8(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const uint32_t lead = static_cast<unsigned char>(text[at]);
        size_t extra = 0;
        uint32_t point = 0;
        uint32_t smallest = 0;
        if (lead <= 0x7F) {
            ++at;
            continue;
        } else if ((lead >> 5) == 0x6) {
            extra = 1;
            point = lead & 0x1F;
            smallest = 0x80;
        } else if ((lead >> 4) == 0xE) {
            extra = 2;
            point = lead & 0x0F;
            smallest = 0x800;
        } else if ((lead >> 3) == 0x1E) {
            extra = 3;
            point = lead & 0x07;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - at - 1 < extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint32_t next = static_cast<unsigned char>(text[at + k]);
            if ((next >> 6) != 0x2) return false;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past the last plane are not text.
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        at += extra + 1;
    }
    return true;
}

}  // namespace fuzz_support
