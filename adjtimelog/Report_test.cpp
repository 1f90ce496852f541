#include "Metrics.h"
#include "Report.h"

#include <gtest/gtest.h>

TEST(Report, NoteworthyRecords)
{
    struct {
        const char* offset;
        const char* pid;
        bool reported;
    } cases[] = {
        {"1.234567", " step:812", true},
        {"-0.000123", " adjust:812", false},
        {"0.600000", " step:812", true},
        {"-1.500000", " adjust:812", true},
        {"", ":812", false},
        {"", " step:1", true},
        {"  +0.9", " adjust:1", false},
        {"+2.0", " adjust:1", true},
        {"abc", " adjust:1", false},
        {"-0", " adjust:1", false},
        {"77556618.173854", " adjust:1", true},
        // Too large for 32 or 64 bits: not 0, whatever atoi would make of it.
        {"4294967296.5", " adjust:1", true},
        {"000000000000000000000000000000.5", " adjust:1", false},
    };
    for (const auto& c : cases) {
        AdjustTimeInfo info{"n", "t", "s", c.offset, c.pid};
        EXPECT_EQ(isNoteworthy(info), c.reported) << c.offset << " / " << c.pid;
    }
}

// A step by its size, whatever the tool called it; the common shape is read
// without strtod, every other shape with it.
TEST(Metrics, LargeCorrectionsAreThoseOf128MillisecondsOrMore)
{
    auto large = [](const char* offset) {
        AdjustTimeInfo info;
        info.offset = offset;
        return isLargeCorrection(info);
    };
    for (const char* yes : {"0.128", "-0.128000", "+0.5", "1.5", "-12.345678", "1.28e-1", "0.200000 "})
        EXPECT_TRUE(large(yes)) << yes;
    for (const char* no : {"0.127999", "-0.000002", "+0.012", "0.1", "", "nan", "inf", "0.5x", "1.5e-3", "sec"})
        EXPECT_FALSE(large(no)) << no;
}

// The tally counts a batch's records by kind only once the batch is
// delivered; a record set aside is taken back, never below nothing.
TEST(Metrics, TallyCountsDeliveredBatchesByKind)
{
    auto rec = [](const char* offset, const char* pid) { return AdjustTimeInfo{"n", "t", "s", offset, pid}; };
    RunTally t;
    t.batchStarts();
    t.saw(rec("0.001", " adjust:1"));
    t.saw(rec("-1.5", " step:2"));
    t.saw(rec("", ":3"));
    t.saw(rec("0.2", "slew:4"));
    t.leftOut(rec("0.001", " adjust:1"));
    t.leftOut(rec("0.001", " adjust:1"));
    t.settled(true);
    const std::map<std::string, uint64_t> first{{"failure", 1}, {"large", 2}, {"slew", 1}, {"step", 1}};
    EXPECT_EQ(t.delivered(), first);
    EXPECT_EQ(t.lastOffset(), "0.2");

    t.batchStarts();
    t.saw(rec("0.001", " adjust:5"));
    t.settled(false);
    EXPECT_EQ(t.delivered(), first) << "a batch that stays counts nothing";
}
