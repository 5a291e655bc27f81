// Tests of UtilTools: Base64 encoding, time, formatting, trimming, C strings,
// the IPv4 range check, and the level of the library's own diagnostics.
#include "util/utilTools.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "support/file_text.h"
#include "support/temp_dir.h"
#include "transport/channelRegistry.h"
#include "transport/httpSender.h"
#include "util/utilLog.h"

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

}  // namespace

// ---------------------------------------------------------------- Base64 encoding

// The RFC 4648 vectors and the edges of one, two and three bytes, whatever the output held
// before, and written over its own input.
TEST(Base64Encode, KnownVectorsWhateverTheOutputHeld) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string(1, '\0'), "AA=="},
        {std::string(2, '\0'), "AAA="},
        {std::string(3, '\0'), "AAAA"},
        {std::string(1, '\xFF'), "/w=="},
        {std::string(2, '\xFF'), "//8="},
        {std::string(3, '\xFF'), "////"},
    };
    for (const auto& [in, expected] : rows) {
        SCOPED_TRACE(expected);
        for (const std::string& earlier :
             {std::string(), std::string("x"), std::string(1000, 'z')}) {
            std::string out = earlier;
            UtilTools::encode_base64_string(in, out);
            EXPECT_EQ(out, expected);
        }
        std::string inPlace = in;
        UtilTools::encode_base64_string(inPlace, inPlace);
        EXPECT_EQ(inPlace, expected);
    }
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
        // Not followed: the file it names is the app's, not a dump.
        {"a link to a dump", "link", 64, "Open file("},
        // Refused at once, not waited on for a writer.
        {"a FIFO", "fifo", 64, "Open file("},
    };
    qm_test::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file(row.name);
        const std::string content = row.content != nullptr ? row.content : "";
        if (content == "link") {
            qm_test::writeFileText(path + ".target", dump);
            ASSERT_EQ(0, symlink((path + ".target").c_str(), path.c_str()));
        } else if (content == "fifo") {
            ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        } else if (row.content != nullptr) {
            qm_test::writeFileText(path, content == "dump" ? dump : content);
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

// ---------------------------------------------------------------- Formatting

TEST(Format, FormatsArgumentsAndCutsAt2046) {
    EXPECT_EQ(UtilTools::utilFformat("%d-%s-%lld", 42, "x", 1234567890123LL), "42-x-1234567890123");
    EXPECT_EQ(UtilTools::utilFformat("plain"), "plain");
    EXPECT_EQ(UtilTools::utilFformat("%s", ""), "");
    for (size_t n : {2045u, 2046u, 2047u, 2048u, 2049u, 3000u, 10000u}) {
        const std::string in(n, 'b');
        EXPECT_EQ(UtilTools::utilFformat("%s", in.c_str()), in.substr(0, 2046)) << n;
    }
    EXPECT_EQ(UtilTools::utilFformat("%5000d", 7).size(), 2046u);
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

// Only the separators given, and only at both ends; charToString trims tabs and blanks of the
// text, or of the default when the text is null, and leaves the default itself as it was.
TEST(Trim, RemovesOnlyTheSeparatorsAtBothEnds) {
    struct Row {
        std::string text;
        const char* separators;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"xxaxbxx", "x", "axb"},
        {"\t a b \t", "\t ", "a b"},
        {"-_-abc_-_", "_-", "abc"},
        {" \t \t ", "\t ", ""},
        {"", "\t ", ""},
        {"a", "\t ", "a"},
        {" a ", "", " a "},
        {std::string(" \xC3\xA9\0x ", 6), " ", std::string("\xC3\xA9\0x", 4)},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(std::string(UtilTools::trimmed(row.text, row.separators)), row.expected)
            << row.text;
    }
    EXPECT_EQ(UtilTools::charToString("\t a b \t", "def"), "a b");
    EXPECT_EQ(UtilTools::charToString(" \t \t ", "def"), "");
    EXPECT_EQ(UtilTools::charToString("", "def"), "");
    EXPECT_EQ(UtilTools::charToString("\nline\n", "def"), "\nline\n");
    const std::string def = "  keep  ";
    EXPECT_EQ(UtilTools::charToString(nullptr, def), "keep");
    EXPECT_EQ(def, "  keep  ");
    EXPECT_EQ(UtilTools::charToString(nullptr, "\t\t"), "");
}

// ---------------------------------------------------------------- Address range

// Both ends included, compared unsigned across the high bit; an end that is no IPv4 address,
// or a range whose ends are reversed, matches nothing.
TEST(RangeCheck, InclusiveUnsignedAndInvalidEndsMatchNothing) {
    struct Row {
        const char* address;
        const char* low;
        const char* high;
        bool inside;
    };
    const std::vector<Row> rows = {
        {"10.0.0.0", "10.0.0.0", "10.255.255.255", true},
        {"10.255.255.255", "10.0.0.0", "10.255.255.255", true},
        {"10.1.2.3", "10.0.0.0", "10.255.255.255", true},
        {"9.255.255.255", "10.0.0.0", "10.255.255.255", false},
        {"11.0.0.0", "10.0.0.0", "10.255.255.255", false},
        {"192.168.1.1", "192.168.0.0", "192.168.255.255", true},
        {"255.255.255.255", "128.0.0.0", "255.255.255.255", true},
        {"127.255.255.255", "128.0.0.0", "255.255.255.255", false},
        {"10.0.0.1", "not-an-ip", "10.255.255.255", false},
        {"10.0.0.1", "10.0.0.0", "", false},
        {"0.0.0.0", "", "", false},
        {"10.0.0.1", "10.0.0.0", "10.0.0.256", false},
        {"10.0.0.1", "10.255.255.255", "10.0.0.0", false},
    };
    for (const Row& row : rows) {
        in_addr address;
        ASSERT_EQ(inet_pton(AF_INET, row.address, &address), 1);
        EXPECT_EQ(rangeCheck(ntohl(address.s_addr), row.low, row.high), row.inside)
            << row.address << " in " << row.low << " - " << row.high;
    }
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

// The property "log.tag.NDK" chooses the level by its first letter, as Android reads it; an
// off build stays off, and anything else keeps the build's level.
TEST(Diagnostics, TagPropertyChoosesTheLevelUnlessTheBuildIsOff) {
    struct Case {
        char first;
        int build;
        int level;
    };
    const Case cases[] = {
        {'I', ANDROID_LOG_WARN, ANDROID_LOG_INFO},     {'v', ANDROID_LOG_WARN, ANDROID_LOG_INFO},
        {'D', ANDROID_LOG_WARN, ANDROID_LOG_INFO},     {'W', ANDROID_LOG_INFO, ANDROID_LOG_WARN},
        {'E', ANDROID_LOG_WARN, ANDROID_LOG_ERROR},    {'S', ANDROID_LOG_INFO, ANDROID_LOG_SILENT},
        {'\0', ANDROID_LOG_WARN, ANDROID_LOG_WARN},    {'x', ANDROID_LOG_INFO, ANDROID_LOG_INFO},
        {'I', ANDROID_LOG_SILENT, ANDROID_LOG_SILENT},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.level, _diagnostic_level_named(c.first, c.build))
            << "'" << c.first << "' over " << c.build;
    }
}

// The shipped default is warn; the suite runs with "log.tag.NDK" at INFO (tests/CMakeLists.txt),
// so every line is written, at its priority.
TEST(Diagnostics, ErrorConditionsAreWrittenAtWarnOrErrorWithTheirTexts) {
    ASSERT_EQ(ANDROID_LOG_WARN, QUILLMARK_DIAGNOSTICS_LEVEL);
    ASSERT_EQ(ANDROID_LOG_INFO, _diagnostic_threshold());
    qm_platform::setLogToStderr(false);
    qm_platform::startLogCapture();
    _info_log("plain");
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
    EXPECT_EQ((std::vector<std::string>{"I/NDK: plain", "W/NDK: recovered", "E/NDK: lost",
                                        "E/NDK: [setHandler] can not access root dir"}),
              qm_platform::capturedLogLines());
    qm_platform::stopLogCapture();
    qm_platform::setLogToStderr(true);
}

}  // namespace
