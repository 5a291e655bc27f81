// Tests of UtilUtf8: the well-formedness check and the locale-to-UTF-8 conversion.
#include "util/utilUtf8.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <random>
#include <string>

#include "support/slow_build.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// Reference classification of one lead byte: number of continuation bytes, or -1 when the
// byte may not start a sequence.
int followers(unsigned char lead) {
    if (lead < 0x80) return 0;
    if (lead >= 0xC0 && lead <= 0xDF) return 1;
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead >= 0xF0 && lead <= 0xF7) return 3;
    return -1;
}

// Sets LC_ALL for the duration of a test (ansi_2_utf16 takes LC_CTYPE from the environment).
class ScopedLcAll {
public:
    explicit ScopedLcAll(const char* value) {
        const char* old = getenv("LC_ALL");
        m_had = old != nullptr;
        if (m_had) m_old = old;
        setenv("LC_ALL", value, 1);
    }
    ~ScopedLcAll() {
        if (m_had) {
            setenv("LC_ALL", m_old.c_str(), 1);
        } else {
            unsetenv("LC_ALL");
        }
    }

private:
    bool m_had = false;
    std::string m_old;
};

}  // namespace

// ---------------------------------------------------------------- is_utf8

TEST(IsUtf8, TruthTable) {
    EXPECT_TRUE(UtilUtf8::is_utf8(""));
    EXPECT_TRUE(UtilUtf8::is_utf8("plain ASCII text 0123 ~"));
    EXPECT_TRUE(UtilUtf8::is_utf8(std::string("a\0b", 3)));
    EXPECT_TRUE(UtilUtf8::is_utf8(bytes({0x7F})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0x80})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xBF})));
    EXPECT_TRUE(UtilUtf8::is_utf8(bytes({0xE2, 0x82, 0xAC})));        // euro sign
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xE2, 0x82})));             // cut short
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xE2, 0x41, 0xAC})));       // not a continuation
    EXPECT_TRUE(UtilUtf8::is_utf8(bytes({0xF0, 0x9F, 0x98, 0x80})));  // emoji
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xF0, 0x9F, 0x98})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xC3, 0x41})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xC3, 0xC3, 0xA9})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xFF})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xFE})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xFF, 0xFE})));
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0x41, 0xA9})));  // lone continuation after ASCII
    EXPECT_FALSE(UtilUtf8::is_utf8(bytes({0xC3, 0xA9, 0xA9})));
}

TEST(IsUtf8, FormsThatAreNotExamined) {
    EXPECT_TRUE(UtilUtf8::is_utf8(bytes({0xC0, 0x80})));              // overlong zero
    EXPECT_TRUE(UtilUtf8::is_utf8(bytes({0xED, 0xA0, 0x80})));        // surrogate D800
    EXPECT_TRUE(UtilUtf8::is_utf8(bytes({0xF4, 0x90, 0x80, 0x80})));  // above 0x10FFFF
    EXPECT_TRUE(UtilUtf8::is_utf8(bytes({0xF7, 0xBF, 0xBF, 0xBF})));
}

TEST(IsUtf8, EveryLeadByte) {
    for (int lead = 0; lead < 256; ++lead) {
        const int follow = followers(static_cast<unsigned char>(lead));
        if (follow < 0) {
            EXPECT_FALSE(UtilUtf8::is_utf8(bytes({lead, 0x80, 0x80, 0x80}))) << lead;
            continue;
        }
        std::string complete(1, static_cast<char>(lead));
        complete.append(static_cast<size_t>(follow), '\x80');
        EXPECT_TRUE(UtilUtf8::is_utf8(complete)) << lead;
        EXPECT_TRUE(UtilUtf8::is_utf8(complete + "z")) << lead;
        if (follow > 0) {
            // Too short at the end of the text, and with a non-continuation byte inside.
            EXPECT_FALSE(UtilUtf8::is_utf8(complete.substr(0, complete.size() - 1))) << lead;
            std::string broken = complete;
            broken[broken.size() - 1] = 'z';
            EXPECT_FALSE(UtilUtf8::is_utf8(broken)) << lead;
            broken[broken.size() - 1] = '\xC0';
            EXPECT_FALSE(UtilUtf8::is_utf8(broken)) << lead;
        }
    }
}

TEST(IsUtf8, LargeInputs) {
    std::string big(1 << 20, 'a');
    EXPECT_TRUE(UtilUtf8::is_utf8(big));
    big.back() = '\xC3';
    EXPECT_FALSE(UtilUtf8::is_utf8(big));
    std::string euros;
    for (int i = 0; i < 100000; ++i) euros += "\xE2\x82\xAC";
    EXPECT_TRUE(UtilUtf8::is_utf8(euros));
}

// ---------------------------------------------------------------- utf16_2_utf8

TEST(Utf16To8, Boundaries) {
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(L""), "");
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(L"Abc"), "Abc");
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x7F)), bytes({0x7F}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x80)), bytes({0xC2, 0x80}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0xE9)), bytes({0xC3, 0xA9}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x7FF)), bytes({0xDF, 0xBF}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x800)), bytes({0xE0, 0xA0, 0x80}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x20AC)), bytes({0xE2, 0x82, 0xAC}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0xFFFF)), bytes({0xEF, 0xBF, 0xBF}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x10000)), bytes({0xF0, 0x90, 0x80, 0x80}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x1F600)), bytes({0xF0, 0x9F, 0x98, 0x80}));
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, 0x10FFFF)), bytes({0xF4, 0x8F, 0xBF, 0xBF}));
}

TEST(Utf16To8, CutAtFirstZero) {
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(L"a\0b", 3)), "a");
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(L"\0b", 2)), "");
}

TEST(Utf16To8, OutOfRangeValuesDoNotCrash) {
    // Negative values compare below 0x80 (signed) and give one byte; values above 0x10FFFF
    // are written in four bytes with the top bits dropped.
    const wchar_t negative = static_cast<wchar_t>(-1);
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, negative)), bytes({0xFF}));
    const wchar_t huge = static_cast<wchar_t>(0x7FFFFFFF);
    EXPECT_EQ(UtilUtf8::utf16_2_utf8(std::wstring(1, huge)).size(), 4u);
}

TEST(Utf16To8, EveryCodePointIsWellFormed) {
    for (uint32_t cp = 1; cp <= 0x10FFFF; cp += (cp < 0x1000 ? 1 : 97)) {
        const std::string out = UtilUtf8::utf16_2_utf8(std::wstring(1, static_cast<wchar_t>(cp)));
        ASSERT_TRUE(UtilUtf8::is_utf8(out)) << cp;
        const size_t expected = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        ASSERT_EQ(out.size(), expected) << cp;
    }
}

// ---------------------------------------------------------------- ansi_2_utf16 / ansi_2_utf8

TEST(AnsiToUtf8, EmptyAndAscii) {
    EXPECT_EQ(UtilUtf8::ansi_2_utf16(""), L"");
    EXPECT_EQ(UtilUtf8::ansi_2_utf8(""), "");
    EXPECT_EQ(UtilUtf8::ansi_2_utf16("abc"), L"abc");
    EXPECT_EQ(UtilUtf8::ansi_2_utf8("hello, world"), "hello, world");
}

TEST(AnsiToUtf8, EmbeddedZeroEndsTheText) {
    EXPECT_EQ(UtilUtf8::ansi_2_utf8(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(UtilUtf8::ansi_2_utf8(std::string("\0cd", 3)), "");
    EXPECT_EQ(UtilUtf8::ansi_2_utf16(std::string("\0\0\0", 3)), L"");
}

TEST(AnsiToUtf8, InvalidBytesNeverCrashAndGiveWellFormedText) {
    for (const char* locale : {"C", "C.UTF-8", "POSIX", "no-such-locale"}) {
        ScopedLcAll scoped(locale);
        for (const std::string& in :
             {bytes({0xFF, 0xFE}), bytes({0xC3}), bytes({0xE9}), bytes({0x80, 0x41}),
              bytes({0x41, 0xFF, 0x42}), bytes({0xF8, 0x80, 0x80, 0x80, 0x80})}) {
            const std::string out = UtilUtf8::ansi_2_utf8(in);
            EXPECT_TRUE(UtilUtf8::is_utf8(out)) << locale;
        }
    }
}

TEST(AnsiToUtf8, Utf8LocaleRoundTrip) {
    ScopedLcAll scoped("C.UTF-8");
    const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    EXPECT_EQ(UtilUtf8::ansi_2_utf8(text), text);
    // Bytes the locale's encoding cannot read are read as Latin-1 instead of being lost.
    EXPECT_EQ(UtilUtf8::ansi_2_utf8(bytes({0xFF, 0xFE})), "\xC3\xBF\xC3\xBE");
    EXPECT_EQ(UtilUtf8::ansi_2_utf16(bytes({0xFF, 0xFE})), L"\xFF\xFE");
}

// The conversion reads the environment's encoding without making it the process locale: the
// application's own locale is what it was, whatever the environment names, and Latin-1 text
// converts to its characters where the environment names no encoding at all.
TEST(AnsiToUtf8, ProcessLocaleIsLeftToTheApplication) {
    struct Case {
        const char* environment;
        std::string in;
        std::string out;
    };
    const std::string cafeLatin1 = "caf" + bytes({0xE9});
    const std::string cafeUtf8 = "caf\xC3\xA9";
    const Case cases[] = {
        {"C", cafeLatin1, cafeUtf8},
        {"POSIX", cafeLatin1, cafeUtf8},
        {"no-such-locale", cafeLatin1, cafeUtf8},
        {"C.UTF-8", cafeLatin1, cafeUtf8},
        {"C.UTF-8", bytes({0xE2, 0x82, 0xAC}), "\xE2\x82\xAC"},
        {"C", "plain", "plain"},
    };
    for (const char* application : {"C.UTF-8", "C"}) {
        ASSERT_NE(nullptr, setlocale(LC_CTYPE, application));
        for (const Case& c : cases) {
            ScopedLcAll scoped(c.environment);
            EXPECT_EQ(UtilUtf8::ansi_2_utf8(c.in), c.out) << c.environment;
            EXPECT_STREQ(application, setlocale(LC_CTYPE, nullptr)) << c.environment;
        }
    }
    setlocale(LC_CTYPE, "C");
}

// Inputs far beyond any stack buffer: a mebibyte natively, a quarter of one in slow builds.
TEST(AnsiToUtf8, LargeInputs) {
    const size_t bytes = qm_test::countFor<size_t>(1 << 20, 1 << 18);
    const std::string ascii(bytes, 'q');
    EXPECT_EQ(UtilUtf8::ansi_2_utf8(ascii), ascii);
    const std::string high(bytes, '\xFF');
    EXPECT_TRUE(UtilUtf8::is_utf8(UtilUtf8::ansi_2_utf8(high)));
    std::mt19937 rng(7);
    std::string random(bytes, '\0');
    for (char& c : random) c = static_cast<char>(rng() & 0xFF);
    EXPECT_TRUE(UtilUtf8::is_utf8(UtilUtf8::ansi_2_utf8(random)));
    {
        ScopedLcAll scoped("C.UTF-8");
        std::string euros;
        for (size_t i = 0; i < bytes / 3; ++i) euros += "\xE2\x82\xAC";
        EXPECT_EQ(UtilUtf8::ansi_2_utf8(euros), euros);
        EXPECT_TRUE(UtilUtf8::is_utf8(UtilUtf8::ansi_2_utf8(random)));
    }
}
