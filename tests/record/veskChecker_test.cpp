// Tests of the validation of project names and versions.
#include "record/veskChecker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool isLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

// Every byte at the start, at the end and inside a text of one valid character each side:
// nothing is trimmed, and a byte of a multi-byte UTF-8 letter is refused like any other.
TEST(VeskChecker, EveryByteFirstLastAndInsideAndWholeTexts) {
    struct Checker {
        const char* name;
        bool (*check)(const std::string&);
        char valid;  // stands before and after the byte under test
        bool (*first)(unsigned char);
        bool (*inner)(unsigned char);
        std::vector<std::string> accepted;
        std::vector<std::string> refused;
    };
    const std::vector<Checker> checkers = {
        {"project name",
         VeskChecker::checkProjectName,
         'a',
         [](unsigned char c) { return isLetter(c) || isDigit(c); },
         [](unsigned char c) { return isLetter(c) || isDigit(c) || c == '-' || c == '_'; },
         {"My-Project_01", std::string(1000, 'x')},
         {"", " abc", "caf\xC3\xA9"}},
        {"project version",
         VeskChecker::checkProjectVersion,
         '1',
         [](unsigned char c) { return isLetter(c) || isDigit(c) || c == '_'; },
         [](unsigned char c) {
             return isLetter(c) || isDigit(c) || c == '-' || c == '_' || c == '.';
         },
         {"v2.6.2-beta_1", "_1", std::string(1000, '9')},
         {"", ".1", "1.2+3"}},
    };
    for (const Checker& checker : checkers) {
        SCOPED_TRACE(checker.name);
        for (int b = 0; b < 256; ++b) {
            const unsigned char c = static_cast<unsigned char>(b);
            const std::string byte(1, static_cast<char>(b));
            const std::string valid(1, checker.valid);
            EXPECT_EQ(checker.check(byte), checker.first(c)) << b;
            EXPECT_EQ(checker.check(valid + byte), checker.inner(c)) << b;
            EXPECT_EQ(checker.check(valid + byte + valid), checker.inner(c)) << b;
        }
        for (const std::string& text : checker.accepted) EXPECT_TRUE(checker.check(text)) << text;
        for (const std::string& text : checker.refused) EXPECT_FALSE(checker.check(text)) << text;
    }
}
