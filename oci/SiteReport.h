// sitedb report: how the fleet's clocks were kept, from the rows of
// DBU.NTPADJUSTS, read through the OCI client library (the stand-in's
// SQLite or PostgreSQL, or a vendor's database): per node the steps in the
// period and the largest, the largest offset, an estimated drift, the
// failures, the last report, and whether the node fell silent; as a table,
// and as one self-contained HTML page with a timeline per node.
#pragma once

#include <string>
#include <vector>

struct SiteRow {
    std::string node, time, server, offset, pid;
    long long runtime = 0;  // seconds since the epoch, when it was stored
};

// When the event of a row happened, in seconds since the epoch: from the
// line's own timestamp where it can be read (ntpdig's "2026-12-08
// 23:33:40.74 (+0000)", chronyd's "...T23:34:17Z", ntpdig -j's
// "...T23:34:01.5+0000", ntpd's "...T23:36:29" taken as UTC, classic
// ntpdate's " 7 Dec 09:49:19 " in the year of its RUNTIME), else RUNTIME.
long long eventTime(const std::string& time, long long runtime);

struct NodePoint {
    long long at;
    double offset;  // 0 for a failure
    char kind;      // 's' step, 'a' adjust, 'f' failure
};

struct NodeSummary {
    std::string node;
    int steps = 0;
    std::string largestStep;    // as printed; empty: none
    std::string largestOffset;  // as printed; empty: none
    bool haveDrift = false;
    double driftPpm = 0;        // offset over the time since the previous correction
    int failures = 0;
    long long lastReport = 0;   // the newest RUNTIME of the node, ever
    bool silent = false;        // seen in the period, quiet for longer than asked
    std::vector<NodePoint> points;  // the period's events, oldest first
};

// The nodes seen in [since, now], by name. lastReports: each node's newest
// RUNTIME ever (rows holds the period's rows only).
std::vector<NodeSummary> summarize(const std::vector<SiteRow>& rows,
                                   const std::vector<std::pair<std::string, long long>>& lastReports,
                                   long long since, long long now, long long silentSeconds);

std::string formatTable(const std::vector<NodeSummary>& nodes);
std::string formatHtml(const std::vector<NodeSummary>& nodes, long long since, long long now,
                       long long silentSeconds);

// "1d", "7d", "12h", "15m", "30s": seconds; -1 for anything else.
long long parseSpan(const std::string& text);
// "2026-12-08" or "2026-12-08T10:00:00Z" (UTC): seconds since the epoch; -1
// for anything else.
long long parseDate(const std::string& text);

// sitedb report [--since 1d|7d|DATE] [--silent 15m] [--html FILE]
//               [--user U] [--password P] [CONNECT]
// (args without the program and command). Returns the exit status.
int runReport(const std::vector<std::string>& args, const std::string& defaultConnect,
              const std::string& defaultUser, const std::string& defaultPassword);
