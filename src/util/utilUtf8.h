// UTF-8 well-formedness check and conversion of locale-encoded text to UTF-8.
// Header-only: the members are inline functions defined below the class.
#pragma once

#include <locale.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

class UtilUtf8 {
public:
    UtilUtf8() = delete;

    static bool is_utf8(const std::string& strUtf8);
    static std::string ansi_2_utf8(const std::string& strAnsi);
    static std::wstring ansi_2_utf16(const std::string& strAnsi);
    static std::string utf16_2_utf8(const std::wstring& strUtf16);

private:
    // The text in the character encoding the environment names (LC_ALL, LC_CTYPE, LANG),
    // converted on this thread only; false when that encoding cannot read it.
    static bool decodeWithEnvironmentLocale(const std::string& text, std::wstring& wide);
    static std::wstring decodeLatin1(const std::string& text);
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

// Text in the environment's multibyte encoding to wide characters; text that encoding cannot
// read (and every byte above 0x7F when the environment names no encoding, as with LANG unset)
// is read as Latin-1, where every byte is a character, so a text is never lost. Stops at the
// first zero byte; empty on empty input.
inline std::wstring UtilUtf8::ansi_2_utf16(const std::string& strAnsi) {
    const std::string text(strAnsi.c_str());
    if (text.empty()) return std::wstring();
    std::wstring wide;
    if (decodeWithEnvironmentLocale(text, wide)) return wide;
    return decodeLatin1(text);
}

// A locale object of our own, made current on this thread for the one conversion: the
// process locale belongs to the application and setlocale is not thread-safe.
inline bool UtilUtf8::decodeWithEnvironmentLocale(const std::string& text, std::wstring& wide) {
    class ThreadLocale {
    public:
        ThreadLocale() : m_own(newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
            if (valid()) m_previous = uselocale(m_own);
        }
        ~ThreadLocale() {
            if (!valid()) return;
            uselocale(m_previous);
            freelocale(m_own);
        }
        ThreadLocale(const ThreadLocale&) = delete;
        ThreadLocale& operator=(const ThreadLocale&) = delete;
        bool valid() const { return m_own != static_cast<locale_t>(0); }

    private:
        const locale_t m_own;
        locale_t m_previous = static_cast<locale_t>(0);
    };

    // Every wide character takes at least one byte, so n + 1 is always room enough.
    const size_t n = text.size();
    std::vector<wchar_t> buffer(n + 1, L'\0');
    size_t count;
    {
        const ThreadLocale environment;
        if (!environment.valid()) return false;
        count = mbstowcs(buffer.data(), text.c_str(), n + 1);
    }
    if (count == static_cast<size_t>(-1) || count < 1 || count > n) return false;
    wide.assign(buffer.data(), count);
    return true;
}

inline std::wstring UtilUtf8::decodeLatin1(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
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
