#include "SiteReport.h"
#include "Escape.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

namespace {

// Reads digits at s[at..at+n); -1 when they are not all digits.
int digits(const std::string& s, size_t at, size_t n)
{
    if (at + n > s.size())
        return -1;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// Seconds since the epoch of a UTC date and time (days from the civil
// calendar, as timegm, without its cost on millions of rows).
long long utc(int year, int month, int day, int hour, int minute, int second)
{
    long long y = year - (month <= 2 ? 1 : 0);
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long long days = era * 146097 + doe - 719468;
    return days * 86400 + hour * 3600LL + minute * 60LL + second;
}

// "+HHMM" / "-HHMM" at s[at]: seconds east of UTC; false when not there.
bool zone(const std::string& s, size_t at, long long& east)
{
    if (at >= s.size() || (s[at] != '+' && s[at] != '-'))
        return false;
    int hh = digits(s, at + 1, 2), mm = digits(s, at + 3, 2);
    if (hh < 0 || mm < 0)
        return false;
    east = (s[at] == '-' ? -1 : 1) * (hh * 3600LL + mm * 60LL);
    return true;
}

// "YYYY-MM-DD?HH:MM:SS" at the start of s, sep being ' ' or 'T'.
bool isoStamp(const std::string& s, char sep, long long& at)
{
    if (s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != sep || s[13] != ':' || s[16] != ':')
        return false;
    int y = digits(s, 0, 4), mo = digits(s, 5, 2), d = digits(s, 8, 2);
    int h = digits(s, 11, 2), mi = digits(s, 14, 2), se = digits(s, 17, 2);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || se < 0 || se > 60)
        return false;
    at = utc(y, mo, d, h, mi, se);
    return true;
}

size_t afterFraction(const std::string& s, size_t at)
{
    if (at < s.size() && s[at] == '.') {
        ++at;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9')
            ++at;
    }
    return at;
}

// An offset text as a number: blanks around it allowed, nothing else; false
// for anything that is not a finite number.
bool offsetValue(const std::string& text, double& v)
{
    const char* s = text.c_str();
    while (*s == ' ')
        ++s;
    if (*s == '\0')
        return false;
    char* end = nullptr;
    v = strtod(s, &end);
    if (end == s)
        return false;
    while (*end == ' ' || *end == '\r')
        ++end;
    return *end == '\0' && std::isfinite(v);
}

// The offset text with its sign: a positive one that has none gets "+".
std::string signedText(const std::string& text, double v)
{
    std::string t = text;
    t.erase(0, t.find_first_not_of(' '));
    t.erase(t.find_last_not_of(" \r") + 1);
    if (v > 0 && !t.empty() && t[0] != '+')
        t.insert(0, 1, '+');
    return t;
}

bool blankOrEmptyKind(const std::string& pid)
{
    size_t colon = pid.find(':');
    std::string kind = pid.substr(0, colon);
    return kind.find_first_not_of(' ') == std::string::npos;
}

void appendHex(std::string& out, unsigned char c)
{
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

std::string drift(const NodeSummary& n)
{
    if (!n.haveDrift)
        return "-";
    char buf[40];
    snprintf(buf, sizeof buf, "%+.2f", n.driftPpm);
    return buf;
}

int rank(const NodeSummary& n)
{
    return n.silent ? 0 : n.failures > 0 ? 1 : n.steps > 0 ? 2 : 3;
}

}  // namespace

long long eventTime(const std::string& t, long long runtime)
{
    long long at = 0, east = 0;
    if (isoStamp(t, ' ', at)) {  // ntpdig: local time with its zone
        size_t p = afterFraction(t, 19);
        if (t.compare(p, 2, " (") == 0 && zone(t, p + 2, east))
            return at - east;
        return at;
    }
    if (isoStamp(t, 'T', at)) {  // chronyd (Z), ntpdig -j (+HHMM), ntpd (none)
        size_t p = afterFraction(t, 19);
        if (zone(t, p, east))
            return at - east;
        return at;
    }
    // Classic ntpdate: "DD Mon HH:MM:SS", the year of RUNTIME (the year
    // before, for a line of late December stored in January).
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    size_t p = t.find_first_not_of(' ');
    if (p == std::string::npos)
        return runtime;
    int day = digits(t, p, 1);
    if (day < 0)
        return runtime;
    if (digits(t, p + 1, 1) >= 0)
        day = day * 10 + digits(t, ++p, 1);
    p += 1;
    if (t.size() < p + 14 || t[p] != ' ' || t[p + 4] != ' ' || t[p + 7] != ':' || t[p + 10] != ':')
        return runtime;
    int h = digits(t, p + 5, 2), mi = digits(t, p + 8, 2), se = digits(t, p + 11, 2);
    if (day < 1 || day > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || se < 0 || se > 60)
        return runtime;
    for (int m = 0; m < 12; ++m) {
        if (t.compare(p + 1, 3, kMonths[m]) != 0)
            continue;
        time_t rt = static_cast<time_t>(runtime);
        struct tm tm {};
        gmtime_r(&rt, &tm);
        long long guess = utc(tm.tm_year + 1900, m + 1, day, h, mi, se);
        if (guess > runtime + 86400)
            guess = utc(tm.tm_year + 1899, m + 1, day, h, mi, se);
        return guess;
    }
    return runtime;
}

uint8_t offsetLevel(double seconds)
{
    if (seconds == 0)
        return 31;
    double decades = std::log10(std::fabs(seconds) / 1e-6);  // 0 at 1 us, 8 at 100 s
    int step = 1 + static_cast<int>(std::lround(std::clamp(decades, 0.0, 8.0) / 8.0 * 30.0));
    return static_cast<uint8_t>(seconds < 0 ? 31 - step : 31 + step);
}

NodeFold::NodeFold(const ReportPeriod& period, std::string node) : period_(period)
{
    n_.node = std::move(node);
    if (period.timelines) {
        n_.low.assign(kTimelineBuckets, kNoLevel);
        n_.high.assign(kTimelineBuckets, kNoLevel);
        n_.marks.assign(kTimelineBuckets, 0);
    }
}

// The drift is the median of the rates of the period's intervals, each a
// correction under the step size over the time since the correction before
// it: a step, an outlier or a failed run moves a median by one place at the
// most. Past 255 intervals a node's rates are a random sample of them
// (reservoir sampling), so memory stays bounded whatever the rows; the
// median of such a sample errs by a tenth of the rates' spread or so.
void NodeFold::addRate(double ppm)
{
    const size_t kSample = 255;
    ++seen_;
    if (rates_.size() < kSample) {
        rates_.push_back(static_cast<float>(ppm));
        return;
    }
    random_ ^= random_ << 13;
    random_ ^= random_ >> 7;
    random_ ^= random_ << 17;
    unsigned long long slot = random_ % seen_;
    if (slot < kSample)
        rates_[slot] = static_cast<float>(ppm);
}

void NodeFold::add(const std::string& time, const std::string& server, const std::string& offset,
                   const std::string& pid, long long runtime)
{
    ++n_.rows;
    long long at = eventTime(time, runtime);
    long long future = period_.now + kFutureSeconds;
    if (runtime > future || at > future) {
        // A forged RUNTIME or a node's wrong clock: counted, never taken
        // as the node's last report.
        ++n_.futureRows;
        return;
    }
    n_.lastReport = std::max(n_.lastReport, runtime);
    if (at < period_.since)
        return;
    int bucket = -1;
    if (period_.timelines) {
        long long length = std::max(1LL, period_.now - period_.since);
        bucket = static_cast<int>(std::clamp((at - period_.since) * kTimelineBuckets / length, 0LL,
                                             static_cast<long long>(kTimelineBuckets - 1)));
    }
    double v = 0;
    if (!offsetValue(offset, v)) {
        if (offset.find_first_not_of(" \r") == std::string::npos && blankOrEmptyKind(pid)) {
            ++n_.failures;
            if (at >= lastFailureAt_) {
                lastFailureAt_ = at;
                n_.lastFailure =
                    server.empty() ? "no server reached or clock not set" : "clock not set (server " + server + ")";
            }
            if (bucket >= 0)
                n_.marks[static_cast<size_t>(bucket)] |= 2;
        }
        return;  // a kind without an offset: a correction of no known size
    }
    double size = std::fabs(v);
    if (size > largestOffset_) {
        largestOffset_ = size;
        n_.largestOffset = signedText(offset, v);
    }
    if (size >= kStepSeconds) {
        ++n_.steps;
        if (size > largestStep_) {
            largestStep_ = size;
            n_.largestStep = signedText(offset, v);
        }
    } else if (havePrevious_ && at - previousAt_ >= 10) {
        addRate(v / static_cast<double>(at - previousAt_) * 1e6);
    }
    havePrevious_ = true;
    previousAt_ = at;
    if (bucket >= 0) {
        auto b = static_cast<size_t>(bucket);
        uint8_t level = offsetLevel(v);
        n_.low[b] = n_.low[b] == kNoLevel ? level : std::min(n_.low[b], level);
        n_.high[b] = n_.high[b] == kNoLevel ? level : std::max(n_.high[b], level);
        if (size >= kStepSeconds)
            n_.marks[b] |= 1;
    }
}

NodeSummary NodeFold::finish()
{
    if (rates_.size() >= 3) {
        size_t mid = rates_.size() / 2;
        std::nth_element(rates_.begin(), rates_.begin() + static_cast<long>(mid), rates_.end());
        double median = static_cast<double>(rates_[mid]);
        if (rates_.size() % 2 == 0)
            median = (median +
                      static_cast<double>(*std::max_element(rates_.begin(), rates_.begin() + static_cast<long>(mid)))) /
                     2;
        n_.haveDrift = true;
        n_.driftPpm = median;
    }
    n_.silent =
        period_.silentSeconds >= 0 && (n_.lastReport == 0 || period_.now - n_.lastReport > period_.silentSeconds);
    rates_.clear();
    rates_.shrink_to_fit();
    return std::move(n_);
}

void FleetFold::add(const std::string& node, const std::string& time, const std::string& server,
                    const std::string& offset, const std::string& pid, long long runtime)
{
    auto it = index_.find(node);
    if (it == index_.end()) {
        it = index_.emplace(node, nodes_.size()).first;
        nodes_.emplace_back(period_, node);
    }
    nodes_[it->second].add(time, server, offset, pid, runtime);
}

std::vector<NodeSummary> FleetFold::finish()
{
    std::vector<NodeSummary> out;
    out.reserve(nodes_.size());
    for (NodeFold& n : nodes_)
        out.push_back(n.finish());
    nodes_.clear();
    index_.clear();
    return out;
}

std::vector<NodeSummary> summarize(const std::vector<SiteRow>& rows, const ReportPeriod& period)
{
    FleetFold fleet(period);
    for (const SiteRow& r : rows)
        fleet.add(r.node, r.time, r.server, r.offset, r.pid, r.runtime);
    return fleet.finish();
}

void sortNodes(std::vector<NodeSummary>& nodes, SortOrder order)
{
    std::sort(nodes.begin(), nodes.end(), [order](const NodeSummary& a, const NodeSummary& b) {
        if (order == SortOrder::Attention) {
            if (rank(a) != rank(b))
                return rank(a) < rank(b);
            if (a.haveDrift != b.haveDrift)
                return a.haveDrift;
            if (a.haveDrift && std::fabs(a.driftPpm) != std::fabs(b.driftPpm))
                return std::fabs(a.driftPpm) > std::fabs(b.driftPpm);
        }
        return a.node < b.node;
    });
}

std::string shown(const std::string& s, bool keepTab)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if ((c < 0x20 && !(keepTab && c == '\t')) || c == 0x7F)
                appendHex(out, c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t n = utf8Length(s, i);
        if (n == 0 || (c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0)) {  // or a C1 control
            appendHex(out, c);
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

size_t columnsOf(const std::string& t)
{
    size_t columns = 0;
    for (size_t i = 0; i < t.size();) {
        auto c = static_cast<unsigned char>(t[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        unsigned long cp = c;
        if (n > 1 && i + n <= t.size()) {
            cp = c & (0x7F >> n);
            for (size_t k = 1; k < n; ++k)
                cp = cp << 6 | (static_cast<unsigned char>(t[i + k]) & 0x3F);
        }
        // East Asian wide characters take two columns.
        bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                    (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                    (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                    (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
        columns += wide ? 2 : 1;
        i += n;
    }
    return columns;
}

namespace {

const char* const kColumns[] = {"NODE",     "STEPS",  "LARGEST-STEP", "LARGEST-OFFSET", "DRIFT-PPM",
                                "FAILURES", "FUTURE", "LAST-REPORT",  "SILENT",         "LAST-FAILURE"};
const size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];

std::vector<std::string> cells(const NodeSummary& n, bool keepTab)
{
    return {shown(n.node, keepTab),
            std::to_string(n.steps),
            n.largestStep.empty() ? "-" : shown(n.largestStep, keepTab),
            n.largestOffset.empty() ? "-" : shown(n.largestOffset, keepTab),
            drift(n),
            std::to_string(n.failures),
            std::to_string(n.futureRows),
            n.lastReport ? utcText(n.lastReport, "%Y-%m-%d %H:%M:%SZ") : "-",
            n.silent ? "yes" : "no",
            n.lastFailure.empty() ? "-" : shown(n.lastFailure, keepTab)};
}

void jsonString(std::string& out, const std::string& s)
{
    out += '"';
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t n = utf8Length(s, i)) {
            out.append(s, i, n);
            i += n;
            continue;
        } else {
            out += "\\\\x";  // a byte of no character: the text \xNN
            static const char kHex[] = "0123456789ABCDEF";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        ++i;
    }
    out += '"';
}

void jsonNumber(std::string& out, const std::string& text)
{
    double v = 0;
    if (text.empty() || !offsetValue(text, v)) {
        out += "null";
        return;
    }
    char buf[40];
    snprintf(buf, sizeof buf, "%.9g", v);
    out += buf;
}

}  // namespace

std::string formatTable(const std::vector<NodeSummary>& nodes)
{
    std::vector<std::vector<std::string>> rows;
    rows.reserve(nodes.size() + 1);
    rows.emplace_back(kColumns, kColumns + kColumnCount);
    for (const NodeSummary& n : nodes)
        rows.push_back(cells(n, false));
    std::vector<size_t> width(kColumnCount, 0);
    for (const auto& r : rows) {
        for (size_t c = 0; c < kColumnCount; ++c)
            width[c] = std::max(width[c], columnsOf(r[c]));
    }
    // Names and texts to the left, figures to the right; the last column
    // is not padded.
    const bool left[] = {true, false, false, false, false, false, false, true, true, true};
    std::string out;
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < kColumnCount; ++c) {
            std::string pad(width[c] - columnsOf(r[c]), ' ');
            if (c > 0)
                line += "  ";
            line += left[c] ? r[c] + (c + 1 < kColumnCount ? pad : "") : pad + r[c];
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

std::string formatTsv(const std::vector<NodeSummary>& nodes)
{
    std::string out;
    for (size_t c = 0; c < kColumnCount; ++c)
        out += std::string(c ? "\t" : "") + kColumns[c];
    out += "\n";
    for (const NodeSummary& n : nodes) {
        std::vector<std::string> r = cells(n, false);
        for (size_t c = 0; c < kColumnCount; ++c)
            out += (c ? "\t" : "") + r[c];
        out += "\n";
    }
    return out;
}

std::string formatJson(const std::vector<NodeSummary>& nodes)
{
    std::string out = "[";
    for (size_t i = 0; i < nodes.size(); ++i) {
        const NodeSummary& n = nodes[i];
        out += i ? ",\n {" : "\n {";
        out += "\"node\": ";
        jsonString(out, n.node);
        out += ", \"rows\": " + std::to_string(n.rows) + ", \"steps\": " + std::to_string(n.steps);
        out += ", \"largest_step\": ";
        jsonNumber(out, n.largestStep);
        out += ", \"largest_offset\": ";
        jsonNumber(out, n.largestOffset);
        out += ", \"drift_ppm\": " + (n.haveDrift ? drift(n).substr(n.driftPpm >= 0 ? 1 : 0) : "null");
        out += ", \"failures\": " + std::to_string(n.failures) + ", \"last_failure\": ";
        if (n.lastFailure.empty())
            out += "null";
        else
            jsonString(out, n.lastFailure);
        out += ", \"last_report\": ";
        out += n.lastReport ? "\"" + utcText(n.lastReport, "%Y-%m-%dT%H:%M:%SZ") + "\"" : "null";
        out += std::string(", \"silent\": ") + (n.silent ? "true" : "false");
        out += ", \"future_rows\": " + std::to_string(n.futureRows) + "}";
    }
    out += nodes.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string utcText(long long t, const char* format)
{
    char buf[40];
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    strftime(buf, sizeof buf, format, &tm);
    return buf;
}

long long parseSpan(const std::string& text)
{
    char* end = nullptr;
    long long n = strtoll(text.c_str(), &end, 10);
    if (!end || end == text.c_str() || n < 0 || n > 100LL * 365 * 86400 || end[0] == '\0' || end[1] != '\0')
        return -1;
    switch (*end) {
    case 's':
        return n;
    case 'm':
        return n * 60;
    case 'h':
        return n * 3600;
    case 'd':
        return n * 86400;
    default:
        return -1;
    }
}

long long parseDate(const std::string& text)
{
    long long at = 0;
    if (text.size() == 10 && isoStamp(text + "T00:00:00", 'T', at))
        return at;
    if (text.size() == 20 && text[19] == 'Z' && isoStamp(text, 'T', at))
        return at;
    return -1;
}
