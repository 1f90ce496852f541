#include "tally.h"

#include <gtest/gtest.h>

TEST(Tally, ThreeWrongPasswordsLockForTenMinutesFromTheLast)
{
    Tally t;
    t = afterFailure(t, 1000);
    t = afterFailure(t, 1100);
    EXPECT_EQ(lockedFor(t, 1100), 0) << "two failures lock nobody";
    t = afterFailure(t, 1200);
    EXPECT_EQ(lockedFor(t, 1200), 600);
    EXPECT_EQ(lockedFor(t, 1799), 1);
    EXPECT_EQ(lockedFor(t, 1800), 0);
    EXPECT_EQ(afterFailure(t, 1800).failures, 1) << "an expired lockout starts a new count";
    EXPECT_EQ(lockedFor(t, 1199), 0) << "a last failure after now (a reboot) locks nobody";
}

TEST(Tally, FailuresFarApartStartANewCount)
{
    Tally t = afterFailure(afterFailure(Tally{}, 0), 100);
    EXPECT_EQ(afterFailure(t, 1000).failures, 1);
    EXPECT_EQ(afterFailure(t, 999).failures, 3);
}

TEST(Tally, RecordsHaveOneWidthAndGarbageReadsAsNoFailure)
{
    Tally t{2, 123456789};
    std::string text = formatTally(t);
    EXPECT_EQ(text.size(), formatTally(Tally{}).size());
    Tally back = parseTally(text);
    EXPECT_EQ(back.failures, 2);
    EXPECT_EQ(back.last, 123456789);
    for (const char* bad : {"", "x", "3", "-5 10\n", "3 10\nextra"})
        EXPECT_EQ(parseTally(bad).failures, 0) << bad;
}
