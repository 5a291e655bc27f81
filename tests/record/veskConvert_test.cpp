// Tests of the level table: which values name a level and the text a record carries for each.
#include "record/veskConvert.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct LevelRow {
    int value;
    int level;         // namedLevel
    const char* text;  // levelToString
};

// The named levels keep their value and text; every other value is DEBUG, and its record (only
// a direct caller of the core can make one) says INFO. Values whose low byte names a level must
// not be taken for it.
const LevelRow kRows[] = {
    {0, 0, "FATAL"},          {3, 3, "ERROR"},      {4, 4, "WARN"},       {5, 5, "INFO"},
    {7, 7, "DEBUG"},          {-1, 7, "INFO"},      {1, 7, "INFO"},       {2, 7, "INFO"},
    {6, 7, "INFO"},           {8, 7, "INFO"},       {-8, 7, "INFO"},      {256 + 3, 7, "INFO"},
    {INT_MIN + 3, 7, "INFO"}, {INT_MIN, 7, "INFO"}, {INT_MAX, 7, "INFO"},
};

}  // namespace

TEST(VeskConvert, NamedLevelsKeepTheirValueAndTextEveryOtherValueIsDebug) {
    for (const LevelRow& row : kRows) {
        EXPECT_EQ(row.level, static_cast<int>(VeskConvert::namedLevel(row.value))) << row.value;
        EXPECT_STREQ(row.text, VeskConvert::levelToString(static_cast<VESK_LOG_LEVEL>(row.value)))
            << row.value;
    }
}
