// sitedb report: how the fleet's clocks were kept, from the rows of
// DBU.NTPADJUSTS, read through the OCI client library (the stand-in's
// SQLite or PostgreSQL, or a vendor's database): per node the steps in the
// period and the largest, the largest offset, the drift, the failures and
// the last one's reason, the last report, whether the node fell silent, and
// rows stamped in the future; as a table (or TSV, or JSON), and as one
// self-contained HTML page with a timeline per node.
//
// The rows are read once, in the order they were stored (NTPID, a
// sequence's), which is each node's own order of upload, and folded as
// they come: memory holds per node seen its figures, a sample of its drift
// rates and a timeline, each of a fixed size, whatever the number of rows.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

struct SiteRow {
    std::string node, time, server, offset, pid;
    long long runtime = 0;  // seconds since the epoch, when it was stored
};

// When the event of a row happened, in seconds since the epoch: from the
// line's own timestamp where it can be read (ntpdig's "2026-12-08
// 23:33:40.74 (+0000)", chronyd's "...T23:34:17Z", ntpdig -j's
// "...T23:34:01.5+0000", ntpd's "...T23:36:29" taken as UTC, classic
// ntpdate's "7 Dec 09:49:19 " or "17 Dec 09:49:19 " in the year of its
// RUNTIME), else RUNTIME.
long long eventTime(const std::string& time, long long runtime);

// A correction of this size or more is a step, whatever the tool called it
// (ntpd's step threshold); smaller ones are what the drift is taken from.
constexpr double kStepSeconds = 0.128;
// A row stamped later than this after the report's now is in the future.
constexpr long long kFutureSeconds = 300;
// The buckets of a node's timeline on the page.
constexpr int kTimelineBuckets = 120;

struct ReportPeriod {
    long long since = 0, now = 0;
    long long silentSeconds = 900;  // -1: never silent
    bool timelines = false;         // keep each node's timeline (the page)
};

struct NodeSummary {
    std::string node;
    long long rows = 0;  // the period's rows, future ones too
    int steps = 0;
    std::string largestStep;    // signed, as printed; empty: none
    std::string largestOffset;  // signed, as printed; empty: none
    bool haveDrift = false;
    double driftPpm = 0;  // positive: the clock falls behind
    int failures = 0;
    std::string lastFailure;   // the newest failure's reason; empty: none
    long long lastReport = 0;  // the newest RUNTIME not in the future; 0: none
    bool silent = false;
    long long futureRows = 0;
    // Per bucket of the period: the least and greatest offset as levels of
    // the page's common scale (kNoLevel: none), and marks (1 a step, 2 a
    // failure). Empty unless the period asked for timelines.
    std::vector<uint8_t> low, high, marks;
};

constexpr uint8_t kNoLevel = 255;
// An offset on the page's common scale: 31 for 0, 31 +- 1..31 for 1 us to
// 100 s and more, on a log scale.
uint8_t offsetLevel(double seconds);

// Folds the rows of one node, given in the order they were stored.
class NodeFold {
public:
    NodeFold(const ReportPeriod& period, std::string node);
    void add(const std::string& time, const std::string& server, const std::string& offset, const std::string& pid,
             long long runtime);
    NodeSummary finish();

private:
    void addRate(double ppm);

    const ReportPeriod& period_;
    NodeSummary n_;
    double largestStep_ = -1, largestOffset_ = -1;
    long long lastFailureAt_ = 0;
    bool havePrevious_ = false;
    long long previousAt_ = 0;
    std::vector<float> rates_;  // ppm per interval, a bounded sample
    unsigned long long seen_ = 0;
    uint64_t random_ = 0x9E3779B97F4A7C15ULL;
};

// Folds the rows of every node, given in the order they were stored.
class FleetFold {
public:
    explicit FleetFold(const ReportPeriod& period) : period_(period) {}
    void add(const std::string& node, const std::string& time, const std::string& server, const std::string& offset,
             const std::string& pid, long long runtime);
    // The nodes seen, in the order first seen.
    std::vector<NodeSummary> finish();

private:
    const ReportPeriod& period_;
    std::unordered_map<std::string, size_t> index_;
    std::vector<NodeFold> nodes_;
};

// The nodes of rows (in the order they were stored), as the report folds them.
std::vector<NodeSummary> summarize(const std::vector<SiteRow>& rows, const ReportPeriod& period);

enum class SortOrder { Attention, Name };
// Attention: silent nodes first, then failing, then stepping, then by the
// size of their drift; each group by name.
void sortNodes(std::vector<NodeSummary>& nodes, SortOrder order);

std::string formatTable(const std::vector<NodeSummary>& nodes);
std::string formatTsv(const std::vector<NodeSummary>& nodes);
std::string formatJson(const std::vector<NodeSummary>& nodes);
std::string formatHtml(const std::vector<NodeSummary>& nodes, const ReportPeriod& period);

// A name from the database shown to a person: well-formed UTF-8 kept,
// control bytes (tab too, unless keepTab) and stray bytes as \xNN.
std::string shown(const std::string& s, bool keepTab = false);
// How many columns a shown text takes on a terminal.
size_t columnsOf(const std::string& shownText);

// Seconds since the epoch as UTC, in a strftime format.
std::string utcText(long long t, const char* format);

// "1d", "7d", "12h", "15m", "30s": seconds; -1 for anything else.
long long parseSpan(const std::string& text);
// "2026-12-08" or "2026-12-08T10:00:00Z" (UTC): seconds since the epoch; -1
// for anything else.
long long parseDate(const std::string& text);

// sitedb report [--since 1d|7d|DATE] [--silent 15m] [--html FILE]
//               [--format table|tsv|json] [--sort attention|name]
//               [--user U] [--password-file FILE] [CONNECT]
// (args without the program and command), at time now, run by the user
// self (whose page it may replace). Returns the exit status.
int runReport(const std::vector<std::string>& args, const std::string& defaultConnect, const std::string& defaultUser,
              const std::string& defaultPassword, long long now, uid_t self);
