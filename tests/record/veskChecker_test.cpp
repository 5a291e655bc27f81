// Tests of the validation of project names, versions and custom keys.
#include "record/veskChecker.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

bool isLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

const char* const kReserved[] = {"projectname", "projectversion", "host",    "body",
                                 "logtype",     "logsource",      "logtime", "sendtime",
                                 "loglevel",    "userid",         "platform", "dmpdata",
                                 "dmpreport"};

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string alternating(std::string s) {
    for (size_t i = 0; i < s.size(); i += 2) {
        if (s[i] >= 'a' && s[i] <= 'z') s[i] = static_cast<char>(s[i] - 'a' + 'A');
    }
    return s;
}

}  // namespace

// ---------------------------------------------------------------- project names

TEST(CheckProjectName, SpecExamples) {
    EXPECT_FALSE(VeskChecker::checkProjectName(""));
    EXPECT_FALSE(VeskChecker::checkProjectName("-abc"));
    EXPECT_FALSE(VeskChecker::checkProjectName("_abc"));
    EXPECT_FALSE(VeskChecker::checkProjectName("ab.c"));
    EXPECT_FALSE(VeskChecker::checkProjectName("ab c"));
    EXPECT_TRUE(VeskChecker::checkProjectName("a"));
    EXPECT_TRUE(VeskChecker::checkProjectName("7"));
    EXPECT_TRUE(VeskChecker::checkProjectName("My-Project_01"));
    EXPECT_TRUE(VeskChecker::checkProjectName(std::string(1000, 'x')));
}

TEST(CheckProjectName, EveryByte) {
    for (int b = 0; b < 256; ++b) {
        const unsigned char c = static_cast<unsigned char>(b);
        const char ch = static_cast<char>(b);
        const bool inner = isLetter(c) || isDigit(c) || c == '-' || c == '_';
        const bool first = isLetter(c) || isDigit(c);
        EXPECT_EQ(VeskChecker::checkProjectName(std::string(1, ch)), first) << b;
        EXPECT_EQ(VeskChecker::checkProjectName(std::string("a") + ch), inner) << b;
        EXPECT_EQ(VeskChecker::checkProjectName(std::string("a") + ch + "b"), inner) << b;
    }
}

TEST(CheckProjectName, NoTrimming) {
    EXPECT_FALSE(VeskChecker::checkProjectName(" abc"));
    EXPECT_FALSE(VeskChecker::checkProjectName("abc "));
    EXPECT_FALSE(VeskChecker::checkProjectName(std::string("abc\0", 4)));
    EXPECT_FALSE(VeskChecker::checkProjectName("caf\xC3\xA9"));
}

// ---------------------------------------------------------------- project versions

TEST(CheckProjectVersion, SpecExamples) {
    EXPECT_FALSE(VeskChecker::checkProjectVersion(""));
    EXPECT_FALSE(VeskChecker::checkProjectVersion(".1"));
    EXPECT_FALSE(VeskChecker::checkProjectVersion("-1"));
    EXPECT_TRUE(VeskChecker::checkProjectVersion("_1"));
    EXPECT_TRUE(VeskChecker::checkProjectVersion("1.2.3"));
    EXPECT_FALSE(VeskChecker::checkProjectVersion("1.2 3"));
    EXPECT_FALSE(VeskChecker::checkProjectVersion("1.2+3"));
    EXPECT_TRUE(VeskChecker::checkProjectVersion("v2.6.2-beta_1"));
    EXPECT_TRUE(VeskChecker::checkProjectVersion(std::string(1000, '9')));
}

TEST(CheckProjectVersion, EveryByte) {
    for (int b = 0; b < 256; ++b) {
        const unsigned char c = static_cast<unsigned char>(b);
        const char ch = static_cast<char>(b);
        const bool inner = isLetter(c) || isDigit(c) || c == '-' || c == '_' || c == '.';
        const bool first = isLetter(c) || isDigit(c) || c == '_';
        EXPECT_EQ(VeskChecker::checkProjectVersion(std::string(1, ch)), first) << b;
        EXPECT_EQ(VeskChecker::checkProjectVersion(std::string("1") + ch), inner) << b;
        EXPECT_EQ(VeskChecker::checkProjectVersion(std::string("1") + ch + "0"), inner) << b;
    }
}

// ---------------------------------------------------------------- custom keys

TEST(CustomKey, Length) {
    EXPECT_FALSE(KeySetLimit::isValidKey(""));
    EXPECT_TRUE(KeySetLimit::isValidKey("k"));
    EXPECT_TRUE(KeySetLimit::isValidKey(std::string(64, 'k')));
    EXPECT_FALSE(KeySetLimit::isValidKey(std::string(65, 'k')));
    EXPECT_FALSE(KeySetLimit::isValidKey(std::string(100000, 'k')));
    EXPECT_EQ(KEY_MAX_LENGHT, 64u);
}

TEST(CustomKey, FirstCharacterMustBeALetter) {
    EXPECT_FALSE(KeySetLimit::isValidKey("1abc"));
    EXPECT_FALSE(KeySetLimit::isValidKey("-abc"));
    EXPECT_FALSE(KeySetLimit::isValidKey("_abc"));
    EXPECT_TRUE(KeySetLimit::isValidKey("a1-_"));
    EXPECT_FALSE(KeySetLimit::isValidKey("a.b"));
    EXPECT_FALSE(KeySetLimit::isValidKey("a b"));
}

TEST(CustomKey, EveryByte) {
    for (int b = 0; b < 256; ++b) {
        const unsigned char c = static_cast<unsigned char>(b);
        const char ch = static_cast<char>(b);
        const bool inner = isLetter(c) || isDigit(c) || c == '-' || c == '_';
        EXPECT_EQ(KeySetLimit::isValidKey(std::string(1, ch)), isLetter(c)) << b;
        EXPECT_EQ(KeySetLimit::isValidKey(std::string("k") + ch), inner) << b;
        EXPECT_EQ(VeskChecker::checkCustomKey(std::string("k") + ch + "z"), inner) << b;
    }
}

TEST(CustomKey, ReservedKeysInAnyCase) {
    for (const char* key : kReserved) {
        EXPECT_FALSE(KeySetLimit::isValidKey(key)) << key;
        EXPECT_FALSE(KeySetLimit::isValidKey(upper(key))) << key;
        EXPECT_FALSE(KeySetLimit::isValidKey(alternating(key))) << key;
        EXPECT_FALSE(VeskChecker::checkCustomKey(key)) << key;
    }
    EXPECT_FALSE(KeySetLimit::isValidKey("projectName"));
    EXPECT_FALSE(KeySetLimit::isValidKey("UserID"));
    EXPECT_FALSE(KeySetLimit::isValidKey("DmpData"));
    EXPECT_FALSE(KeySetLimit::isValidKey("DmpReport"));
}

TEST(CustomKey, KeysThatOnlyContainAReservedKeyAreAccepted) {
    EXPECT_TRUE(KeySetLimit::isValidKey("hostname"));
    EXPECT_TRUE(KeySetLimit::isValidKey("userid1"));
    EXPECT_TRUE(KeySetLimit::isValidKey("myHost"));
    EXPECT_TRUE(KeySetLimit::isValidKey("body-text"));
    // Keys the library writes but that are not in the reserved set.
    EXPECT_TRUE(KeySetLimit::isValidKey("SessionID"));
    EXPECT_TRUE(KeySetLimit::isValidKey("SdkVersion"));
}

TEST(CustomKey, HighBytesAreNotLowered) {
    EXPECT_FALSE(KeySetLimit::isValidKey("HOST\xC3\x89"));
    EXPECT_FALSE(KeySetLimit::isValidKey("\xC3\x89host"));
}

TEST(CustomKey, ConcurrentUse) {
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (size_t i = 0; i < failures.size(); ++i) {
        threads.emplace_back([&failures, i] {
            for (int k = 0; k < 2000; ++k) {
                if (!KeySetLimit::isValidKey("custom")) ++failures[i];
                if (KeySetLimit::isValidKey("Host")) ++failures[i];
                if (!VeskChecker::checkProjectName("p1")) ++failures[i];
                if (!VeskChecker::checkProjectVersion("1.0")) ++failures[i];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}
