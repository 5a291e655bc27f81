// Tests of the log-level conversions and the field vocabulary.
#include "record/veskConvert.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "record/vesk2Define.h"

namespace {

int referenceLevel(long long value) {
    static const int table[8] = {0, 5, 5, 3, 4, 5, 5, 7};
    return (value >= 0 && value <= 7) ? table[value] : 5;
}

std::string referenceText(int level) {
    switch (level) {
        case 0:
            return "FATAL";
        case 3:
            return "ERROR";
        case 4:
            return "WARN";
        case 7:
            return "DEBUG";
        default:
            return "INFO";
    }
}

}  // namespace

TEST(VeskConvert, LevelToStringNamedLevels) {
    EXPECT_EQ(VeskConvert::levelToString(VESK_LL_NONE), "INFO");
    EXPECT_EQ(VeskConvert::levelToString(VESK_LL_FATAL), "FATAL");
    EXPECT_EQ(VeskConvert::levelToString(VESK_LL_ERROR), "ERROR");
    EXPECT_EQ(VeskConvert::levelToString(VESK_LL_WARN), "WARN");
    EXPECT_EQ(VeskConvert::levelToString(VESK_LL_INFO), "INFO");
    EXPECT_EQ(VeskConvert::levelToString(VESK_LL_DEBUG), "DEBUG");
}

TEST(VeskConvert, LevelToStringUnnamedValues) {
    for (int v : {-8, -2, 1, 2, 6}) {
        EXPECT_EQ(VeskConvert::levelToString(static_cast<VESK_LOG_LEVEL>(v)), "INFO") << v;
    }
    EXPECT_EQ(VeskConvert::levelToString(static_cast<VESK_LOG_LEVEL>(7)), "DEBUG");
}

TEST(VeskConvert, NamedLevelsMapToThemselves) {
    for (VESK_LOG_LEVEL level :
         {VESK_LL_FATAL, VESK_LL_ERROR, VESK_LL_WARN, VESK_LL_INFO, VESK_LL_DEBUG}) {
        EXPECT_EQ(VeskConvert::levelToInteger(level), static_cast<int>(level));
        EXPECT_EQ(VeskConvert::integerToLevel(static_cast<int>(level)), level);
    }
    EXPECT_EQ(VeskConvert::levelToInteger(VESK_LL_NONE), 5);
}

TEST(VeskConvert, SpecExamples) {
    EXPECT_EQ(VeskConvert::integerToLevel(-1), VESK_LL_INFO);
    EXPECT_EQ(VeskConvert::integerToLevel(2), VESK_LL_INFO);
    EXPECT_EQ(VeskConvert::integerToLevel(8), VESK_LL_INFO);
    EXPECT_EQ(VeskConvert::integerToLevel(3), VESK_LL_ERROR);
    EXPECT_EQ(VeskConvert::integerToString(0), "FATAL");
}

TEST(VeskConvert, EveryIntegerInAWideRange) {
    for (int v = -100000; v <= 100000; ++v) {
        ASSERT_EQ(static_cast<int>(VeskConvert::integerToLevel(v)), referenceLevel(v)) << v;
        ASSERT_EQ(VeskConvert::integerToString(v), referenceText(referenceLevel(v))) << v;
    }
}

TEST(VeskConvert, Extremes) {
    for (long long v :
         {static_cast<long long>(INT_MIN), static_cast<long long>(INT_MIN) + 1, -8LL, -7LL,
          static_cast<long long>(INT_MAX) - 1, static_cast<long long>(INT_MAX), 0x7FFFFFF8LL}) {
        const int i = static_cast<int>(v);
        EXPECT_EQ(static_cast<int>(VeskConvert::integerToLevel(i)), referenceLevel(v)) << v;
        EXPECT_EQ(VeskConvert::integerToString(i), "INFO") << v;
    }
    // Values whose low bits are 0..7 but that lie outside 0..7 must not alias the table.
    EXPECT_EQ(VeskConvert::integerToLevel(-8), VESK_LL_INFO);
    EXPECT_EQ(VeskConvert::integerToLevel(256 + 3), VESK_LL_INFO);
    EXPECT_EQ(VeskConvert::integerToLevel(INT_MIN + 3), VESK_LL_INFO);
}

TEST(VeskConvert, LevelToIntegerAgreesWithIntegerToLevel) {
    for (int v = -8; v <= 7; ++v) {
        const VESK_LOG_LEVEL level = static_cast<VESK_LOG_LEVEL>(v);
        EXPECT_EQ(VeskConvert::levelToInteger(level),
                  static_cast<int>(VeskConvert::integerToLevel(v)))
            << v;
    }
}

TEST(Vocabulary, Constants) {
    EXPECT_EQ(_uri_v2_string, "/v2/log");
    EXPECT_EQ(VESK_FIX_PRJNAME, "projectName");
    EXPECT_EQ(VESK_CRASH_SOURCE, "CrashDump");
    EXPECT_EQ(static_cast<int>(VESK_LL_NONE), -1);
    EXPECT_EQ(static_cast<int>(VESK_LL_DEBUG), 7);
}
