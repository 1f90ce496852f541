#include "Report.h"

#include <gtest/gtest.h>

TEST(Report, NoteworthyRecords)
{
    struct {
        const char* offset;
        const char* pid;
        bool reported;
    } cases[] = {
        {"1.234567", " step:812", true},     {"-0.000123", " adjust:812", false},
        {"0.600000", " step:812", true},     {"-1.500000", " adjust:812", true},
        {"", ":812", false},                 {"", " step:1", true},
        {"  +0.9", " adjust:1", false},      {"+2.0", " adjust:1", true},
        {"abc", " adjust:1", false},         {"-0", " adjust:1", false},
        {"77556618.173854", " adjust:1", true},
        // Too large for 32 or 64 bits: not 0, whatever atoi would make of it.
        {"4294967296.5", " adjust:1", true}, {"000000000000000000000000000000.5", " adjust:1", false},
    };
    for (const auto& c : cases) {
        AdjustTimeInfo info{"n", "t", "s", c.offset, c.pid};
        EXPECT_EQ(isNoteworthy(info), c.reported) << c.offset << " / " << c.pid;
    }
}
