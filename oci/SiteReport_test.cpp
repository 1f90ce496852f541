#include "SiteReport.h"

#include <gtest/gtest.h>

TEST(SiteReport, EventTimeFromEachToolsTimestampElseTheRuntime)
{
    const long long runtime = 1796774400;  // 2026-12-09 00:00:00Z
    const long long at = 1796772820;       // 2026-12-08 23:33:40Z
    EXPECT_EQ(eventTime("2026-12-08 23:33:40.746531 (+0000)", runtime), at);
    EXPECT_EQ(eventTime("2026-12-09 07:33:40.74653 (+0800)", runtime), at) << "local time with its zone";
    EXPECT_EQ(eventTime("2026-12-08T23:33:40Z", runtime), at);
    EXPECT_EQ(eventTime("2026-12-08T23:33:40.5+0000", runtime), at);
    EXPECT_EQ(eventTime("2026-12-08T23:33:40", runtime), at) << "ntpd's, taken as UTC";
    EXPECT_EQ(eventTime(" 8 Dec 23:33:40 ", runtime), at) << "classic, in the year of RUNTIME";
    EXPECT_EQ(eventTime("31 Dec 23:00:00 ", 1798761600), 1798758000) << "stored on New Year's Day";
    EXPECT_EQ(eventTime("", runtime), runtime);
    EXPECT_EQ(eventTime("soon", runtime), runtime);
}

TEST(SiteReport, StepsDriftFailuresAndSilence)
{
    const long long t0 = 1796770000;
    std::vector<SiteRow> rows = {
        {"b", "", "s", "+0.010", " adjust:1", t0},
        {"b", "", "s", "+0.020", " adjust:1", t0 + 1000},  // 20 ms over 1000 s: 20 ppm
        {"b", "", "s", "-1.5", " step:1", t0 + 2000},       // -1.5 s over 1000 s
        {"b", "", "", "", ":1", t0 + 2500},
        {"a", "", "s", "0.5", " step:", t0 + 100},
        {"a", "", "s", "-2.0", " step:", t0 + 200},
        {"c", "", "s", "0.1", " adjust:", t0 - 90000},  // before the period
    };
    auto nodes = summarize(rows, {{"a", t0 + 200}, {"b", t0 + 2500}, {"c", t0 - 90000}}, t0 - 10, t0 + 3000, 900);
    ASSERT_EQ(nodes.size(), 2u) << "only nodes seen in the period";
    EXPECT_EQ(nodes[0].node, "a");
    EXPECT_EQ(nodes[0].steps, 2);
    EXPECT_EQ(nodes[0].largestStep, "-2.0");
    EXPECT_TRUE(nodes[0].silent) << "quiet for 2800 s, longer than 900";
    EXPECT_EQ(nodes[1].node, "b");
    EXPECT_EQ(nodes[1].steps, 1);
    EXPECT_EQ(nodes[1].failures, 1);
    EXPECT_EQ(nodes[1].largestOffset, "-1.5");
    ASSERT_TRUE(nodes[1].haveDrift);
    EXPECT_NEAR(nodes[1].driftPpm, (0.020 - 1.5) / 2000 * 1e6, 1e-6);
    EXPECT_FALSE(nodes[1].silent);
    EXPECT_NE(formatHtml(nodes, t0, t0 + 3000, 900).find("data-node=\"b\""), std::string::npos);
    EXPECT_EQ(parseSpan("15m"), 900);
    EXPECT_EQ(parseSpan("7d"), 7 * 86400);
    EXPECT_EQ(parseSpan("7x"), -1);
    EXPECT_EQ(parseDate("2026-12-09"), 1796774400);
    EXPECT_EQ(parseDate("2026-12-9"), -1);
}
