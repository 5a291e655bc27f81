// Tests of the validation of project names and versions.
#include "record/veskChecker.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool isLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

// ---------------------------------------------------------------- project names

TEST(CheckProjectName, Examples) {
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

TEST(CheckProjectVersion, Examples) {
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
