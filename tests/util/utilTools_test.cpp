// Tests of UtilTools: Base64, time text, formatting, trimming, C strings, error text
// the IPv4 range check, and the level of the library's own diagnostics.
#include "util/utilTools.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "support/file_text.h"
#include "support/temp_dir.h"
#include "transport/channelRegistry.h"
#include "transport/httpSender.h"
#include "util/utilLog.h"
#include "util/utilUtf8.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Independent bit-by-bit encoder (RFC 4648 section 4) to compare the library's encoder with.
std::string referenceEncode(const std::string& in) {
    std::string out;
    size_t bits = in.size() * 8;
    for (size_t pos = 0; pos < bits; pos += 6) {
        unsigned value = 0;
        for (size_t b = pos; b < pos + 6; ++b) {
            value <<= 1;
            if (b < bits) {
                const unsigned char byte = static_cast<unsigned char>(in[b / 8]);
                value |= (byte >> (7 - b % 8)) & 1u;
            }
        }
        out += kAlphabet[value];
    }
    while (out.size() % 4 != 0) out += '=';
    return out;
}

std::string bytesOfAllValues(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return s;
}

std::string encode(const std::string& in) {
    std::string out;
    UtilTools::encode_base64_string(in, out);
    return out;
}

// decode_base64_string; a std::string has room beyond its size (the small-string buffer, the
// growth policy), where AddressSanitizer sees nothing, so the terminator is checked as well:
// a decoder writing past the size overwrites it first.
std::string decodeString(const std::string& in) {
    std::string out;
    UtilTools::decode_base64_string(in, out);
    EXPECT_EQ(out.c_str()[out.size()], '\0') << "wrote past the end for input: " << in;
    return out;
}

// Independent, unbounded rendering of the decoding algorithm.
std::string referenceDecode(const std::string& in) {
    std::string out;
    uint32_t t = 0;
    int y = 0;
    int g = 3;
    for (char ch : in) {
        const size_t at = std::string(kAlphabet).find(ch);
        uint32_t sextet;
        if (ch != '\0' && at != std::string::npos) {
            sextet = static_cast<uint32_t>(at);
        } else if (ch == '=') {
            sextet = 0;
            --g;
        } else {
            continue;
        }
        t = (t << 6) | sextet;
        if (++y == 4) {
            out += static_cast<char>((t >> 16) & 255);
            if (g >= 2) out += static_cast<char>((t >> 8) & 255);
            if (g == 3) out += static_cast<char>(t & 255);
            t = 0;
            y = 0;
        }
    }
    return out;
}

// decode_base64 into a heap buffer of exactly the room the contract promises
// (3 bytes per 4 characters), so any write beyond it is caught by AddressSanitizer.
std::string decodeBuffer(const std::string& in, uint32_t* sizeOut = nullptr) {
    const size_t room = 3 * (in.size() / 4);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[room]);
    uint32_t size = 0xDEADBEEF;
    UtilTools::decode_base64(in, buffer.get(), size);
    EXPECT_LE(size, room) << "input: " << in;
    if (sizeOut) *sizeOut = size;
    if (size > room) size = static_cast<uint32_t>(room);
    return std::string(reinterpret_cast<const char*>(buffer.get()), size);
}

size_t expectedStringSize(const std::string& in) {
    const size_t n = in.size();
    size_t p = 0;
    while (p < n && in[n - 1 - p] == '=') ++p;
    if (p == n) p = 0;
    const size_t full = 3 * (n / 4);
    return full > p ? full - p : 0;
}

}  // namespace

// ---------------------------------------------------------------- Base64 encoding

TEST(Base64Encode, Rfc4648Vectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
}

TEST(Base64Encode, OneTwoThreeBytesGiveFourCharacters) {
    EXPECT_EQ(encode(std::string(1, '\0')), "AA==");
    EXPECT_EQ(encode(std::string(2, '\0')), "AAA=");
    EXPECT_EQ(encode(std::string(3, '\0')), "AAAA");
    EXPECT_EQ(encode(std::string(1, '\xFF')), "/w==");
    EXPECT_EQ(encode(std::string(2, '\xFF')), "//8=");
    EXPECT_EQ(encode(std::string(3, '\xFF')), "////");
}

TEST(Base64Encode, NullOrEmptyInputClearsOutput) {
    std::string out = "previous";
    UtilTools::encode_base64(nullptr, 10, out);
    EXPECT_EQ(out, "");
    out = "previous";
    const uint8_t byte = 'x';
    UtilTools::encode_base64(&byte, 0, out);
    EXPECT_EQ(out, "");
    out = "previous";
    UtilTools::encode_base64_string("", out);
    EXPECT_EQ(out, "");
}

TEST(Base64Encode, EarlierContentsNeverSurvive) {
    std::string out(1000, 'z');
    UtilTools::encode_base64_string("f", out);
    EXPECT_EQ(out, "Zg==");
    out = "x";
    UtilTools::encode_base64_string("foobar", out);
    EXPECT_EQ(out, "Zm9vYmFy");
}

TEST(Base64Encode, MatchesReferenceForAllSizesAndByteValues) {
    for (size_t n = 0; n <= 300; ++n) {
        for (unsigned seed : {0u, 1u, 128u, 255u}) {
            const std::string in = bytesOfAllValues(n, seed);
            const std::string out = encode(in);
            ASSERT_EQ(out, referenceEncode(in)) << "n=" << n << " seed=" << seed;
            ASSERT_EQ(out.size(), 4 * ((n + 2) / 3));
        }
    }
}

TEST(Base64Encode, BufferFormMatchesStringForm) {
    const std::string in = bytesOfAllValues(256, 0);
    for (uint32_t n = 0; n <= 256; ++n) {
        std::string viaBuffer;
        UtilTools::encode_base64(reinterpret_cast<const uint8_t*>(in.data()), n, viaBuffer);
        ASSERT_EQ(viaBuffer, encode(in.substr(0, n)));
    }
}

// The crash dump reader: the whole file, bytes as they are, within the bound, and no
// descriptor left open on any path.
TEST(ReadFileAsBase64, WholeFilesWithinTheBoundAndNothingElse) {
    auto openDescriptors = [] {
        size_t count = 0;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
        while (dir && readdir(dir.get()) != nullptr) ++count;
        return count;
    };
    const std::string dump("MDMP\0\x01\xff tail", 11);
    struct Row {
        const char* name;
        const char* content;  // null: no such file
        size_t maxBytes;
        const char* error;  // null: read; else how the error starts
    };
    const Row rows[] = {
        {"a dump with zero and high bytes", "dump", 64, nullptr},
        {"exactly the bound", "dump", 11, nullptr},
        {"over the bound", "dump", 10, "Get file size(11) is failed."},
        {"empty", "", 64, "Get file size(0) is failed."},
        {"missing", nullptr, 64, "Open file("},
    };
    qm_test::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file(row.name);
        if (row.content != nullptr) {
            qm_test::writeFileText(path, std::string(row.content) == "dump" ? dump : row.content);
        }
        const size_t descriptors = openDescriptors();
        std::string base64 = "earlier";
        std::string error;
        const bool read = UtilTools::readFileAsBase64(path, row.maxBytes, base64, error);
        EXPECT_EQ(descriptors, openDescriptors());
        EXPECT_EQ(read, row.error == nullptr);
        if (read) {
            std::string expected;
            UtilTools::encode_base64_string(dump, expected);
            EXPECT_EQ(base64, expected);
        } else {
            EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
        }
    }
}

TEST(Base64Encode, InPlace) {
    std::string s = "foobar";
    UtilTools::encode_base64_string(s, s);
    EXPECT_EQ(s, "Zm9vYmFy");
}

// ---------------------------------------------------------------- Base64 decoding

TEST(Base64Decode, Rfc4648Vectors) {
    const char* plain[] = {"f", "fo", "foo", "foob", "fooba", "foobar"};
    for (const char* p : plain) {
        const std::string enc = referenceEncode(p);
        EXPECT_EQ(decodeString(enc), p) << enc;
        EXPECT_EQ(decodeBuffer(enc), p) << enc;
    }
}

TEST(Base64Decode, RoundTripAllSizesAndByteValues) {
    for (size_t n = 0; n <= 600; ++n) {
        for (unsigned seed : {0u, 3u, 200u}) {
            const std::string in = bytesOfAllValues(n, seed);
            const std::string enc = encode(in);
            ASSERT_EQ(decodeString(enc), in) << "n=" << n;
            uint32_t size = 0;
            ASSERT_EQ(decodeBuffer(enc, &size), in) << "n=" << n;
            ASSERT_EQ(size, n);
        }
    }
}

TEST(Base64Decode, RoundTripOneMebibyte) {
    std::mt19937 rng(12345);
    std::string in(1 << 20, '\0');
    for (char& c : in) c = static_cast<char>(rng() & 0xFF);
    const std::string enc = encode(in);
    ASSERT_EQ(enc.size(), 4 * ((in.size() + 2) / 3));
    EXPECT_EQ(decodeString(enc), in);
    EXPECT_EQ(decodeBuffer(enc), in);
}

TEST(Base64Decode, EmptyInput) {
    uint8_t buffer[4] = {1, 2, 3, 4};
    uint32_t size = 77;
    UtilTools::decode_base64("", buffer, size);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buffer[0], 1);
    std::string out = "previous";
    UtilTools::decode_base64_string("", out);
    EXPECT_EQ(out, "");
}

TEST(Base64Decode, NullBufferWritesNothing) {
    uint32_t size = 77;
    UtilTools::decode_base64("QUJD", nullptr, size);
    EXPECT_EQ(size, 0u);
}

TEST(Base64Decode, LineBreakAnywhereIsIgnored) {
    const std::string enc = "QUJD";  // "ABC"
    for (size_t pos = 0; pos <= enc.size(); ++pos) {
        for (const char* brk : {"\n", "\r\n", " ", "\t", "\r\n\r\n"}) {
            std::string in = enc;
            in.insert(pos, brk);
            EXPECT_EQ(decodeBuffer(in), "ABC") << "pos " << pos;
        }
    }
}

TEST(Base64Decode, EveryForeignByteIsSkipped) {
    const std::string valid = std::string(kAlphabet) + "=";
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        if (valid.find(c) != std::string::npos) continue;
        std::string in = "QU";
        in += c;
        in += "JD";
        EXPECT_EQ(decodeBuffer(in), "ABC") << "byte " << b;
        // decode_base64_string sizes from the input length: 3 * (5 / 4) = 3 bytes.
        EXPECT_EQ(decodeString(in), "ABC") << "byte " << b;
    }
}

TEST(Base64Decode, IncompleteFinalGroupIsDropped) {
    uint32_t size = 99;
    EXPECT_EQ(decodeBuffer("QUJ", &size), "");
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(decodeString("QUJ"), "");
    EXPECT_EQ(decodeBuffer("QUJDRA", &size), "ABC");
    EXPECT_EQ(size, 3u);
}

TEST(Base64Decode, OneByteWithTwoPads) {
    uint8_t buffer[3] = {0, 0, 0};
    uint32_t size = 0;
    UtilTools::decode_base64("QQ==", buffer, size);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(buffer[0], 'A');
    const std::string out = decodeString("QQ==");
    EXPECT_EQ(out.size(), 1u);  // 3 * 1 - 2
    EXPECT_EQ(out, "A");
}

TEST(Base64Decode, TwoBytesWithOnePad) {
    uint32_t size = 0;
    EXPECT_EQ(decodeBuffer("QUI=", &size), "AB");
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(decodeString("QUI="), "AB");
}

TEST(Base64Decode, StringSizedFromInputWithTrailingJunk) {
    // The input does not end in '=', so decode_base64_string keeps 3 * (n / 4) bytes; the
    // bytes the decoder does not write stay zero.
    const std::string out = decodeString("QQ==\n");
    EXPECT_EQ(out, std::string("A\0\0", 3));
    EXPECT_EQ(decodeString("QUJD\r\nQUJD"), "ABCABC");
}

TEST(Base64Decode, PadOnlyInput) {
    // '=' only: p counts as 0, so the string is 3 * (n / 4) bytes, all zero.
    EXPECT_EQ(decodeString("===="), std::string(3, '\0'));
    EXPECT_EQ(decodeString("========"), std::string(6, '\0'));
    EXPECT_EQ(decodeString("="), "");
    EXPECT_EQ(decodeString("=="), "");
    EXPECT_EQ(decodeString("==="), "");
    uint32_t size = 0;
    decodeBuffer("====", &size);
    EXPECT_EQ(size, 1u);  // group size below 1: only the first byte of the group
    decodeBuffer("========", &size);
    EXPECT_EQ(size, 2u);
}

TEST(Base64Decode, ShortInputWithPadsNeverNegativeSize) {
    EXPECT_EQ(decodeString("A="), "");
    EXPECT_EQ(decodeString("AA="), "");
    EXPECT_EQ(decodeString("A=="), "");
    // "AB=C": no trailing pad, 3 bytes; the group is written with group size 2.
    EXPECT_EQ(decodeString("AB=C"), std::string("\x00\x10\x00", 3));
}

TEST(Base64Decode, PadBeforeEndIsClampedToComputedSize) {
    // "AAAA=": a full group of three bytes, then a pad; the string is 3 * 1 - 1 = 2 bytes and
    // the third decoded byte must not be written beyond it.
    EXPECT_EQ(decodeString("AAAA="), std::string(2, '\0'));
    EXPECT_EQ(decodeString("QUJD="), "AB");
    EXPECT_EQ(decodeString("QUJD=="), "A");
    EXPECT_EQ(decodeString("QUJD==="), "");
    // 3 * 3 - 4 = 5 bytes: the second group is cut after two bytes.
    EXPECT_EQ(decodeString("QUJDQUJD===="), "ABCAB");
}

TEST(Base64Decode, PadInTheMiddleLowersGroupSizeForTheRest) {
    uint32_t size = 0;
    // After "QQ==" the group size is 1 for the rest of the call.
    EXPECT_EQ(decodeBuffer("QQ==QUJD", &size), "AA");
    EXPECT_EQ(size, 2u);
    // decode_base64_string sizes it 3 * 2 - 0 = 6 bytes.
    EXPECT_EQ(decodeString("QQ==QUJD"), std::string("AA\0\0\0\0", 6));
    // More than two '=': still one byte per group, never more than the room.
    EXPECT_EQ(decodeBuffer("QQ==QQ==QQ==", &size), "AAA");
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(decodeString("QQ==QQ==QQ=="), std::string("AAA\0\0\0\0", 3 * 3 - 2));
}

TEST(Base64Decode, RandomJunkNeverOverruns) {
    // Inputs drawn from the alphabet, '=', line breaks and arbitrary bytes; the decoders write
    // into heap blocks of exactly the promised size (AddressSanitizer catches any overrun).
    std::mt19937 rng(2024);
    const std::string pool = std::string(kAlphabet) + "====\n\r \t\x80\xff\x00" + "=";
    for (int iteration = 0; iteration < 20000; ++iteration) {
        const size_t n = rng() % 48;
        std::string in;
        for (size_t i = 0; i < n; ++i) {
            if (rng() % 8 == 0) {
                in += static_cast<char>(rng() & 0xFF);
            } else {
                in += pool[rng() % pool.size()];
            }
        }
        uint32_t size = 0;
        const std::string reference = referenceDecode(in);
        ASSERT_EQ(decodeBuffer(in, &size), reference);
        ASSERT_LE(size, 3 * (in.size() / 4));
        const std::string out = decodeString(in);
        const size_t expected = expectedStringSize(in);
        ASSERT_EQ(out.size(), expected) << in;
        // What fits of the decoded bytes, then zeros.
        std::string clamped = reference.substr(0, expected);
        clamped.resize(expected, '\0');
        ASSERT_EQ(out, clamped) << in;
    }
}

TEST(Base64Decode, LongRunsOfPadsAndJunk) {
    const std::string pads(100000, '=');
    EXPECT_EQ(decodeString(pads).size(), 3u * (100000 / 4));
    uint32_t size = 0;
    decodeBuffer(pads, &size);
    EXPECT_EQ(size, 100000u / 4);
    const std::string junk(100001, '\xff');
    EXPECT_EQ(decodeString(junk), std::string(3 * (100001 / 4), '\0'));
    decodeBuffer(junk, &size);
    EXPECT_EQ(size, 0u);
}

TEST(Base64Decode, ClampKeepsNonZeroExcessOutOfTheString) {
    // Inputs whose decoded bytes exceed the size computed from the input; the excess bytes are
    // non-zero, so writing any of them past the end would show in the terminator check.
    for (int groups = 1; groups <= 40; ++groups) {
        std::string in;
        for (int i = 0; i < groups; ++i) in += "QUJD";
        for (const char* tail : {"=", "==", "===", "====", "=====", "=========="}) {
            const std::string text = in + tail;
            const std::string out = decodeString(text);
            ASSERT_EQ(out.size(), expectedStringSize(text)) << text;
            ASSERT_EQ(out, referenceDecode(text).substr(0, out.size())) << text;
        }
    }
}

TEST(Base64Decode, InPlace) {
    std::string s = "Zm9vYmFy";
    UtilTools::decode_base64_string(s, s);
    EXPECT_EQ(s, "foobar");
}

TEST(Base64Decode, OutputIsReplacedNotAppended) {
    std::string out(50, 'q');
    UtilTools::decode_base64_string("Zg==", out);
    EXPECT_EQ(out, "f");
}

// ---------------------------------------------------------------- Time

TEST(Time, UtcMillisecondsMatchesClock) {
    // time() reads a coarser clock that may lag the precise one by a tick, across a second
    // boundary too: allow a second either way.
    const uint64_t before = static_cast<uint64_t>(time(nullptr)) * 1000 - 1000;
    const uint64_t now = UtilTools::getUTCTimeAsMillsec();
    const uint64_t after = static_cast<uint64_t>(time(nullptr)) * 1000 + 2000;
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
    EXPECT_GE(UtilTools::getUTCTimeAsMillsec(), now);
}

TEST(Time, SecondsArePaddedWithCurrentMillisecond) {
    const time_t seconds = static_cast<time_t>(1700000000);
    const std::string text = UtilTools::getMillsecondString(seconds);
    ASSERT_EQ(text.size(), 13u);
    EXPECT_EQ(text.substr(0, 10), "1700000000");
    for (char c : text) EXPECT_TRUE(c >= '0' && c <= '9');
}

TEST(Time, MillisecondValueIsReturnedUnchanged) {
    if (sizeof(time_t) < 8) GTEST_SKIP() << "time_t cannot hold a 13-digit value here";
    const long long ms = 1700000000123LL;
    const time_t value = static_cast<time_t>(ms);
    EXPECT_EQ(UtilTools::getMillsecondString(value), "1700000000123");
}

TEST(Time, TwelveDigitsAreStillSeconds) {
    if (sizeof(time_t) < 8) GTEST_SKIP() << "time_t cannot hold a 12-digit value here";
    const time_t value = static_cast<time_t>(999999999999LL);
    const std::string text = UtilTools::getMillsecondString(value);
    ASSERT_EQ(text.size(), 15u);
    EXPECT_EQ(text.substr(0, 12), "999999999999");
}

TEST(Time, ZeroAndNegative) {
    const std::string zero = UtilTools::getMillsecondString(static_cast<time_t>(0));
    EXPECT_GE(std::stoll(zero), 0);
    EXPECT_LT(std::stoll(zero), 1000);
    const std::string negative = UtilTools::getMillsecondString(static_cast<time_t>(-5));
    EXPECT_GE(std::stoll(negative), -5000);
    EXPECT_LE(std::stoll(negative), -4001);
}

// ---------------------------------------------------------------- Formatting

TEST(Format, FormatsArguments) {
    EXPECT_EQ(UtilTools::utilFformat("%d-%s-%lld", 42, "x", 1234567890123LL), "42-x-1234567890123");
    EXPECT_EQ(UtilTools::utilFformat("plain"), "plain");
    EXPECT_EQ(UtilTools::utilFformat("%s", ""), "");
}

TEST(Format, LongOutputIsCutAt2046) {
    const std::string long3000(3000, 'a');
    const std::string out = UtilTools::utilFformat("%s", long3000.c_str());
    EXPECT_EQ(out.size(), 2046u);
    EXPECT_EQ(out, long3000.substr(0, 2046));
}

TEST(Format, BoundaryLengths) {
    for (size_t n : {2045u, 2046u, 2047u, 2048u, 2049u, 10000u}) {
        const std::string in(n, 'b');
        const std::string out = UtilTools::utilFformat("%s", in.c_str());
        EXPECT_EQ(out.size(), n < 2046 ? n : 2046u) << n;
    }
    const std::string padded = UtilTools::utilFformat("%5000d", 7);
    EXPECT_EQ(padded.size(), 2046u);
}

TEST(Format, StopsAtEmbeddedZero) { EXPECT_EQ(UtilTools::utilFformat("ab%cde", '\0'), "ab"); }

TEST(Format, NullFormatGivesEmpty) {
    const char* volatile fmt = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    EXPECT_EQ(UtilTools::utilFformat(fmt), "");
#pragma GCC diagnostic pop
}

// ---------------------------------------------------------------- Trimming and C strings

namespace {

// trimString works in place and trimmed gives a view: both must leave the same text.
std::string trimmed(std::string text, const char* separators) {
    const std::string viewed =
        separators == nullptr ? text : std::string(UtilTools::trimmed(text, separators));
    UtilTools::trimString(text, separators);
    EXPECT_EQ(viewed, text);
    return text;
}

}  // namespace

TEST(Trim, RemovesOnlyAtBothEnds) {
    EXPECT_EQ(trimmed("xxaxbxx", "x"), "axb");
    EXPECT_EQ(trimmed("\t a b \t", "\t "), "a b");
    EXPECT_EQ(trimmed("-_-abc_-_", "_-"), "abc");
}

TEST(Trim, AllSeparatorsBecomesEmpty) {
    EXPECT_EQ(trimmed(" \t \t ", "\t "), "");
    EXPECT_EQ(trimmed("", "\t "), "");
}

TEST(Trim, SingleCharacterAndNoSeparators) {
    EXPECT_EQ(trimmed("a", "\t "), "a");
    EXPECT_EQ(trimmed(" a ", ""), " a ");
    EXPECT_EQ(trimmed(" a ", nullptr), " a ");
}

TEST(Trim, KeepsEmbeddedZeroAndHighBytes) {
    EXPECT_EQ(trimmed(std::string(" \xC3\xA9\0x ", 6), " "), std::string("\xC3\xA9\0x", 4));
}

TEST(CharToString, NullGivesTrimmedDefault) {
    EXPECT_EQ(UtilTools::charToString(nullptr, " x "), "x");
    EXPECT_EQ(UtilTools::charToString(nullptr, ""), "");
    EXPECT_EQ(UtilTools::charToString(nullptr, "\t\t"), "");
}

TEST(CharToString, TextIsTrimmedOfTabsAndBlanks) {
    EXPECT_EQ(UtilTools::charToString("\t a b \t", "def"), "a b");
    EXPECT_EQ(UtilTools::charToString(" \t \t ", "def"), "");
    EXPECT_EQ(UtilTools::charToString("", "def"), "");
    EXPECT_EQ(UtilTools::charToString("\nline\n", "def"), "\nline\n");  // only tab and blank
}

TEST(CharToString, DefaultIsNotChanged) {
    const std::string def = "  keep  ";
    EXPECT_EQ(UtilTools::charToString(nullptr, def), "keep");
    EXPECT_EQ(def, "  keep  ");
}

TEST(WcharToWString, NullGivesDefaultUntrimmed) {
    EXPECT_EQ(UtilTools::wcharToWString(nullptr, L" d "), L" d ");
    EXPECT_EQ(UtilTools::wcharToWString(L" w\t", L"d"), L" w\t");
    EXPECT_EQ(UtilTools::wcharToWString(L"", L"d"), L"");
}

// ---------------------------------------------------------------- System error text

TEST(SysErrMsg, MissingFile) {
    FILE* f = fopen("/nonexistent-quillmark-dir/missing-file", "r");
    ASSERT_EQ(f, nullptr);
    ASSERT_EQ(errno, ENOENT);
    const std::string msg = UtilTools::getSysErrMsg();
    EXPECT_EQ(msg, std::string("(2)") + strerror(2));
}

TEST(SysErrMsg, OtherNumbers) {
    errno = EACCES;
    EXPECT_EQ(UtilTools::getSysErrMsg(), "(" + std::to_string(EACCES) + ")" + strerror(EACCES));
    errno = 0;
    EXPECT_EQ(UtilTools::getSysErrMsg().substr(0, 3), "(0)");
    errno = 987654;
    const std::string unknown = UtilTools::getSysErrMsg();
    EXPECT_EQ(unknown.substr(0, 8), "(987654)");
    EXPECT_GT(unknown.size(), 8u);
    EXPECT_TRUE(UtilUtf8::is_utf8(unknown));
    errno = -3;
    EXPECT_EQ(UtilTools::getSysErrMsg().substr(0, 4), "(-3)");
}

// ---------------------------------------------------------------- Address range

namespace {
uint32_t ip(const char* text) {
    in_addr addr;
    EXPECT_EQ(inet_pton(AF_INET, text, &addr), 1);
    return ntohl(addr.s_addr);
}
}  // namespace

TEST(RangeCheck, BothEndsIncluded) {
    EXPECT_TRUE(rangeCheck(ip("10.0.0.0"), "10.0.0.0", "10.255.255.255"));
    EXPECT_TRUE(rangeCheck(ip("10.255.255.255"), "10.0.0.0", "10.255.255.255"));
    EXPECT_TRUE(rangeCheck(ip("10.1.2.3"), "10.0.0.0", "10.255.255.255"));
    EXPECT_FALSE(rangeCheck(ip("9.255.255.255"), "10.0.0.0", "10.255.255.255"));
    EXPECT_FALSE(rangeCheck(ip("11.0.0.0"), "10.0.0.0", "10.255.255.255"));
}

TEST(RangeCheck, UnsignedComparisonAcrossHighBit) {
    EXPECT_TRUE(rangeCheck(ip("192.168.1.1"), "192.168.0.0", "192.168.255.255"));
    EXPECT_TRUE(rangeCheck(ip("255.255.255.255"), "128.0.0.0", "255.255.255.255"));
    EXPECT_FALSE(rangeCheck(ip("127.255.255.255"), "128.0.0.0", "255.255.255.255"));
}

TEST(RangeCheck, InvalidTextMatchesNothing) {
    EXPECT_FALSE(rangeCheck(ip("10.0.0.1"), "not-an-ip", "10.255.255.255"));
    EXPECT_FALSE(rangeCheck(ip("10.0.0.1"), "10.0.0.0", ""));
    EXPECT_FALSE(rangeCheck(0, "", ""));
    EXPECT_FALSE(rangeCheck(ip("10.0.0.1"), "10.0.0.0", "10.0.0.256"));
    EXPECT_FALSE(rangeCheck(ip("10.0.0.1"), "10.255.255.255", "10.0.0.0"));  // empty range
}

// ---------------------------------------------------------------- diagnostics (utilLog.h)

namespace {

TEST(Diagnostics, TheLevelDecidesWhichPrioritiesAreWritten) {
    struct Case {
        int threshold;
        int priority;
        bool shown;
    };
    const Case cases[] = {
        {ANDROID_LOG_INFO, ANDROID_LOG_INFO, true},
        {ANDROID_LOG_INFO, ANDROID_LOG_WARN, true},
        {ANDROID_LOG_INFO, ANDROID_LOG_ERROR, true},
        {ANDROID_LOG_WARN, ANDROID_LOG_INFO, false},
        {ANDROID_LOG_WARN, ANDROID_LOG_WARN, true},
        {ANDROID_LOG_WARN, ANDROID_LOG_ERROR, true},
        {ANDROID_LOG_SILENT, ANDROID_LOG_INFO, false},
        {ANDROID_LOG_SILENT, ANDROID_LOG_ERROR, false},
        {ANDROID_LOG_SILENT, ANDROID_LOG_FATAL, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.shown, _diagnostic_shown(c.priority, c.threshold))
            << "threshold " << c.threshold << " priority " << c.priority;
    }
}

// The tests are built with the default level, info: every line is written, at its priority.
TEST(Diagnostics, ErrorConditionsAreWrittenAtWarnOrErrorWithTheirTexts) {
    ASSERT_EQ(ANDROID_LOG_INFO, QUILLMARK_DIAGNOSTICS_LEVEL);
    qm_platform::setLogToStderr(false);
    qm_platform::startLogCapture();
    _info_log("plain");
    _debug_log("detail");
    _warn_log("recovered");
    _error_log("lost");
    // A real condition: a storage path below a regular file can hold no directory.
    char file[] = "/tmp/qm_diag_XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    auto channel = std::make_unique<Handler>();
    channel->m_handlerName = "diagnostics-channel";
    channel->m_projectName = "diagnostics";
    channel->m_sdCardPath = file;
    EXPECT_FALSE(ChannelRegistry().add(channel));
    unlink(file);
    EXPECT_EQ(
        (std::vector<std::string>{"I/NDK: plain", "I/NDK: detail", "W/NDK: recovered",
                                  "E/NDK: lost", "E/NDK: [setHandler] can not access root dir"}),
        qm_platform::capturedLogLines());
    qm_platform::stopLogCapture();
    qm_platform::setLogToStderr(true);
}

}  // namespace
