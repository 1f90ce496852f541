#include "SiteReport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

const long long kT0 = 1796774400;  // 2026-12-09 00:00:00Z

// A node whose clock drifts by ppm, corrected every 5 minutes for a day,
// with a little noise on each offset (deterministic).
std::vector<SiteRow> driftingNode(const std::string& node, double ppm)
{
    std::vector<SiteRow> rows;
    unsigned noise = 12345;
    for (int i = 1; i <= 288; ++i) {
        noise = noise * 1103515245 + 12345;
        double jitter = (static_cast<int>(noise >> 16 & 1023) - 512) * 1e-6;  // +-0.5 ms
        char offset[32];
        snprintf(offset, sizeof offset, "%+.6f", ppm * 1e-6 * 300 + jitter);
        rows.push_back({node, "", "192.0.2.1", offset, " adjust:1", kT0 + 300LL * i});
    }
    return rows;
}

ReportPeriod day(bool timelines = false)
{
    ReportPeriod p;
    p.since = kT0;
    p.now = kT0 + 86400 + 60;
    p.silentSeconds = 900;
    p.timelines = timelines;
    return p;
}

}  // namespace

TEST(SiteReport, EventTimeFromEachToolsTimestampElseTheRuntime)
{
    const long long runtime = 1796774400;  // 2026-12-09 00:00:00Z
    const long long at = 1796772820;       // 2026-12-08 23:33:40Z
    EXPECT_EQ(eventTime("2026-12-08 23:33:40.746531 (+0000)", runtime), at);
    EXPECT_EQ(eventTime("2026-12-09 07:33:40.74653 (+0800)", runtime), at) << "local time with its zone";
    EXPECT_EQ(eventTime("2026-12-08T23:33:40Z", runtime), at);
    EXPECT_EQ(eventTime("2026-12-08T23:33:40.5+0000", runtime), at);
    EXPECT_EQ(eventTime("2026-12-08T23:33:40", runtime), at) << "ntpd's, taken as UTC";
    EXPECT_EQ(eventTime("8 Dec 23:33:40 ", runtime), at) << "classic, in the year of RUNTIME";
    EXPECT_EQ(eventTime("27 Nov 23:33:40 ", runtime), at - 11 * 86400) << "a two-digit day, whole";
    EXPECT_EQ(eventTime("10 Dec 00:00:00 ", runtime + 86400), runtime + 86400);
    EXPECT_EQ(eventTime("31 Dec 23:00:00 ", 1798761600), 1798758000) << "stored on New Year's Day";
    EXPECT_EQ(eventTime("", runtime), runtime);
    EXPECT_EQ(eventTime("soon", runtime), runtime);
    EXPECT_EQ(eventTime("99 Dec 23:00:00 ", runtime), runtime);
}

// The drift of nodes of known drift, each with a step, an outlier and a
// failed run among its corrections: within 10% or 2 ppm.
TEST(SiteReport, DriftIsRobustToStepsOutliersAndFailures)
{
    std::vector<SiteRow> rows;
    for (double ppm : {50.0, 20.0, 5.0, 0.0, -30.0}) {
        std::string node = "ppm" + std::to_string(static_cast<int>(ppm));
        std::vector<SiteRow> r = driftingNode(node, ppm);
        r[100].offset = "-1.500000", r[100].pid = " step:1";
        r[150].offset = "+0.090000";                                // an outlier, under the step size
        r[200].offset = "", r[200].pid = ":1", r[200].server = "";  // a failed run
        rows.insert(rows.end(), r.begin(), r.end());
    }
    for (const NodeSummary& n : summarize(rows, day())) {
        double want = std::stod(n.node.substr(3));
        ASSERT_TRUE(n.haveDrift) << n.node;
        EXPECT_LE(std::fabs(n.driftPpm - want), std::max(2.0, 0.1 * std::fabs(want))) << n.node << " " << n.driftPpm;
        EXPECT_EQ(n.steps, 1) << n.node;
        EXPECT_EQ(n.largestStep, "-1.500000");
        EXPECT_EQ(n.failures, 1);
        EXPECT_EQ(n.lastFailure, "no server reached or clock not set");
    }
    // Two intervals are not enough for a drift.
    std::vector<SiteRow> few(rows.begin(), rows.begin() + 3);
    EXPECT_FALSE(summarize(few, day())[0].haveDrift);
}

// A step is a correction of 128 ms or more, whatever the tool called it;
// the sign is kept. A row stamped more than 5 minutes after now is
// counted, never the node's last report.
TEST(SiteReport, StepsByTheirSizeAndFutureRows)
{
    const long long t = kT0 + 86400;
    std::vector<SiteRow> rows = {
        {"chrony", "2026-12-09T23:59:00Z", "", "-0.000002", " step:", t - 60},
        {"chrony", "2026-12-09T23:59:30Z", "", "0.200000", " adjust:", t - 30},
        {"chrony", "2026-12-09T23:59:40Z", "", "0.127999", " adjust:", t - 20},
        {"forged", "", "10.0.0.1", "0.1", " adjust:1", t - 3600},
        {"forged", "", "10.0.0.1", "0.1", " adjust:1", t + 86400},
        {"forged", "", "10.0.0.1", "", ":1", t + 200},
    };
    std::vector<NodeSummary> nodes = summarize(rows, day());
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].node, "chrony");
    EXPECT_EQ(nodes[0].steps, 1);
    EXPECT_EQ(nodes[0].largestStep, "+0.200000");
    EXPECT_EQ(nodes[0].futureRows, 0);
    EXPECT_EQ(nodes[1].futureRows, 1);
    EXPECT_EQ(nodes[1].lastReport, t + 200) << "within 5 minutes of now: not the future";
    EXPECT_EQ(nodes[1].lastFailure, "clock not set (server 10.0.0.1)");
    rows.pop_back();
    nodes = summarize(rows, day());
    EXPECT_EQ(nodes[1].lastReport, t - 3600);
    EXPECT_TRUE(nodes[1].silent) << "a future row hides no silence";
}

TEST(SiteReport, AttentionOrderAndColumnsThatHoldWhateverTheName)
{
    std::vector<NodeSummary> nodes(5);
    nodes[0].node = "calm", nodes[0].haveDrift = true, nodes[0].driftPpm = 1;
    nodes[1].node = "drifting", nodes[1].haveDrift = true, nodes[1].driftPpm = -80;
    nodes[2].node = "stepping", nodes[2].steps = 2, nodes[2].largestStep = "+1.5";
    nodes[3].node = "failing", nodes[3].failures = 3, nodes[3].lastFailure = "no server reached";
    nodes[4].node = "a-very-long-node-name-of-the-fleet.example.org\x1b[2J\xff", nodes[4].silent = true;
    sortNodes(nodes, SortOrder::Attention);
    std::vector<std::string> order;
    for (const NodeSummary& n : nodes)
        order.push_back(n.node.substr(0, 8));
    EXPECT_EQ(order, (std::vector<std::string>{"a-very-l", "failing", "stepping", "drifting", "calm"}));

    std::string table = formatTable(nodes);
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << "no control byte reaches the terminal";
    EXPECT_NE(table.find("org\\x1B[2J\\xFF"), std::string::npos);
    // Every line's STEPS and LAST-FAILURE columns start where the header's do.
    size_t steps = table.find("STEPS") + 4, reason = table.find("LAST-FAILURE");
    for (size_t at = 0; at < table.size();) {
        std::string line = table.substr(at, table.find('\n', at) - at);
        at += line.size() + 1;
        EXPECT_TRUE(isalnum(static_cast<unsigned char>(line[steps])) && line[steps + 1] == ' ') << line;
        EXPECT_TRUE(line.size() <= reason || (line[reason - 1] == ' ' && line[reason] != ' ')) << line;
    }
    std::string tsv = formatTsv(nodes);
    EXPECT_EQ(tsv.substr(0, tsv.find('\n')),
              "NODE\tSTEPS\tLARGEST-STEP\tLARGEST-OFFSET\tDRIFT-PPM\tFAILURES\tFUTURE\tLAST-REPORT\tSILENT\t"
              "LAST-FAILURE");
    EXPECT_NE(tsv.find("\nfailing\t0\t-\t-\t-\t3\t0\t-\tno\tno server reached\n"), std::string::npos) << tsv;
    EXPECT_EQ(parseSpan("15m"), 900);
    EXPECT_EQ(parseSpan("7d"), 7 * 86400);
    EXPECT_EQ(parseSpan("7x"), -1);
    EXPECT_EQ(parseDate("2026-12-09"), 1796774400);
    EXPECT_EQ(parseDate("2026-12-9"), -1);
}

// The page keeps every step and failure in its timeline, whatever the rows.
TEST(SiteReport, TimelineKeepsEveryStepAndFailure)
{
    std::vector<SiteRow> rows = driftingNode("n", 20);
    rows[7].offset = "+3.0", rows[7].pid = " step:1";
    rows[8].offset = "", rows[8].pid = ":1";
    NodeSummary n = summarize(rows, day(true))[0];
    ASSERT_EQ(n.marks.size(), static_cast<size_t>(kTimelineBuckets));
    long long bucket = (rows[7].runtime - kT0) * kTimelineBuckets / (86400 + 60);
    EXPECT_EQ(n.marks[static_cast<size_t>(bucket)], 3) << "a step and a failure in one bucket";
    EXPECT_EQ(n.high[static_cast<size_t>(bucket)], offsetLevel(3.0));
    EXPECT_LT(offsetLevel(-1e-3), offsetLevel(0));
    EXPECT_LT(offsetLevel(1e-3), offsetLevel(1));
    EXPECT_EQ(offsetLevel(1e6), 62);
}
