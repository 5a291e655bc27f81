// UTF-8 well-formedness check and conversion of locale-encoded text to UTF-8.
// Header-only: the members are inline functions defined below the class.
#pragma once

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

class UtilUtf8 {
public:
    UtilUtf8() = delete;

    static bool is_utf8(const std::string& strUtf8);
    static std::string ansi_2_utf8(const std::string& strAnsi);
    static void ansi_2_utf8(const std::string& strAnsi, std::string& strUtf8);
    static std::wstring ansi_2_utf16(const std::string& strAnsi);
    static std::string utf16_2_utf8(const std::wstring& strUtf16);
};

// Lead bytes 0xxxxxxx, 110xxxxx, 1110xxxx and 11110xxx followed by 0, 1, 2 and 3 continuation
// bytes 10xxxxxx inside the text. Overlong forms, surrogates and values above 0x10FFFF are not
// examined. The empty text is well-formed.
inline bool UtilUtf8::is_utf8(const std::string& strUtf8) {
    const size_t n = strUtf8.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = static_cast<unsigned char>(strUtf8[i]);
        size_t follow;
        if (lead < 0x80) {
            follow = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            follow = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            follow = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            follow = 3;
        } else {
            return false;  // 10xxxxxx or 11111xxx in a lead position
        }
        if (follow > n - i - 1) return false;  // continuation bytes would lie past the end
        for (size_t k = 1; k <= follow; ++k) {
            const unsigned char c = static_cast<unsigned char>(strUtf8[i + k]);
            if ((c & 0xC0) != 0x80) return false;
        }
        i += follow + 1;
    }
    return true;
}

inline std::string UtilUtf8::ansi_2_utf8(const std::string& strAnsi) {
    return utf16_2_utf8(ansi_2_utf16(strAnsi));
}

inline void UtilUtf8::ansi_2_utf8(const std::string& strAnsi, std::string& strUtf8) {
    strUtf8 = ansi_2_utf8(strAnsi);  // computed first, so strAnsi and strUtf8 may be one object
}

// Text in the locale's multibyte encoding (the character-type category taken from the
// environment) to wide characters. Empty on empty input or when the conversion fails.
inline std::wstring UtilUtf8::ansi_2_utf16(const std::string& strAnsi) {
    if (strAnsi.empty()) return std::wstring();
    setlocale(LC_CTYPE, "");
    const size_t n = strAnsi.size();
    // mbstowcs reads up to the first zero byte, and every wide character takes at least one
    // byte, so it never produces more than n characters: n + 1 is always room enough.
    std::vector<wchar_t> buffer(n + 1, L'\0');
    const size_t count = mbstowcs(buffer.data(), strAnsi.c_str(), n + 1);
    if (count == static_cast<size_t>(-1) || count < 1 || count > n) return std::wstring();
    return std::wstring(buffer.data(), count);
}

// Each wide character as a 32-bit value to one to four UTF-8 bytes (no surrogate pairs are
// formed or combined); the result is cut at its first zero byte.
inline std::string UtilUtf8::utf16_2_utf8(const std::wstring& strUtf16) {
    std::string out;
    if (strUtf16.size() <= out.max_size() / 4) out.reserve(strUtf16.size() * 4);
    for (const wchar_t wc : strUtf16) {
        const int32_t w = static_cast<int32_t>(wc);
        const uint32_t u = static_cast<uint32_t>(wc);
        if (w < 0x80) {  // signed comparison: a negative wchar_t stays one byte
            out += static_cast<char>(u & 0xFF);
        } else if (w < 0x800) {
            out += static_cast<char>(0xC0 | ((u >> 6) & 0x1F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else if (w > 0xFFFF) {
            out += static_cast<char>(0xF0 | ((u >> 18) & 0x07));
            out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | ((u >> 12) & 0x0F));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    const size_t zero = out.find('\0');
    if (zero != std::string::npos) out.resize(zero);
    return out;
}
