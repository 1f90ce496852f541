#include "SiteReport.h"
#include "Files.h"
#include "oci.h"

#include <algorithm>
#include <cerrno>
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

long long utc(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<long long>(timegm(&t));
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
    int y = digits(s, 0, 4), mo = digits(s, 5, 2), d = digits(s, 8, 2);
    int h = digits(s, 11, 2), mi = digits(s, 14, 2), se = digits(s, 17, 2);
    if (s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != sep || s[13] != ':' || s[16] != ':' || y < 0 ||
        mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || se < 0 || se > 60)
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

double value(const std::string& offset)
{
    return strtod(offset.c_str(), nullptr);
}

char kindOf(const std::string& pid)
{
    std::string kind = pid.substr(0, pid.find(':'));
    kind.erase(0, kind.find_first_not_of(' '));
    return kind == "step" ? 's' : kind.empty() ? 'f' : 'a';
}

std::string when(long long t)
{
    char buf[32];
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%SZ", &tm);
    return buf;
}

std::string span(long long seconds)
{
    char buf[32];
    if (seconds >= 86400)
        snprintf(buf, sizeof buf, "%lldd%lldh", seconds / 86400, seconds % 86400 / 3600);
    else if (seconds >= 3600)
        snprintf(buf, sizeof buf, "%lldh%lldm", seconds / 3600, seconds % 3600 / 60);
    else
        snprintf(buf, sizeof buf, "%lldm", seconds / 60);
    return buf;
}

std::string html(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default:
            out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return out;
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
    char mon[4] = {};
    int day = 0, h = 0, mi = 0, se = 0, used = 0;
    if (sscanf(t.c_str(), " %d %3s %d:%d:%d%n", &day, mon, &h, &mi, &se, &used) == 5) {  // NOLINT(cert-err34-c)
        for (int m = 0; m < 12; ++m) {
            if (strcmp(mon, kMonths[m]) != 0)
                continue;
            time_t rt = static_cast<time_t>(runtime);
            struct tm tm {};
            gmtime_r(&rt, &tm);
            long long guess = utc(tm.tm_year + 1900, m + 1, day, h, mi, se);
            if (guess > runtime + 86400)
                guess = utc(tm.tm_year + 1899, m + 1, day, h, mi, se);
            return guess;
        }
    }
    return runtime;
}

std::vector<NodeSummary> summarize(const std::vector<SiteRow>& rows,
                                   const std::vector<std::pair<std::string, long long>>& lastReports,
                                   long long since, long long now, long long silentSeconds)
{
    std::map<std::string, NodeSummary> byNode;
    std::map<std::string, double> largestStep, largestOffset;
    for (const SiteRow& r : rows) {
        long long at = eventTime(r.time, r.runtime);
        if (at < since || at > now)
            continue;
        NodeSummary& n = byNode[r.node];
        n.node = r.node;
        char kind = kindOf(r.pid);
        double v = r.offset.empty() ? 0 : value(r.offset);
        n.points.push_back({at, kind == 'f' ? 0 : v, kind});
        if (kind == 'f') {
            ++n.failures;
            continue;
        }
        if (!r.offset.empty() && (n.largestOffset.empty() || std::fabs(v) > largestOffset[r.node])) {
            n.largestOffset = r.offset;
            largestOffset[r.node] = std::fabs(v);
        }
        if (kind == 's') {
            ++n.steps;
            if (n.largestStep.empty() || std::fabs(v) > largestStep[r.node]) {
                n.largestStep = r.offset;
                largestStep[r.node] = std::fabs(v);
            }
        }
    }
    std::vector<NodeSummary> out;
    for (auto& [name, n] : byNode) {
        std::stable_sort(n.points.begin(), n.points.end(),
                         [](const NodePoint& a, const NodePoint& b) { return a.at < b.at; });
        // Drift: the corrections over the time they built up in, each since
        // the correction before it.
        double offsets = 0;
        long long seconds = 0;
        const NodePoint* previous = nullptr;
        for (const NodePoint& p : n.points) {
            if (p.kind == 'f')
                continue;
            if (previous && p.at > previous->at) {
                offsets += p.offset;
                seconds += p.at - previous->at;
            }
            previous = &p;
        }
        if (seconds > 0) {
            n.haveDrift = true;
            n.driftPpm = offsets / static_cast<double>(seconds) * 1e6;
        }
        for (const auto& [node, last] : lastReports) {
            if (node == name)
                n.lastReport = last;
        }
        n.silent = silentSeconds >= 0 && now - n.lastReport > silentSeconds;
        out.push_back(n);
    }
    return out;
}

std::string formatTable(const std::vector<NodeSummary>& nodes)
{
    std::string out;
    char line[512];
    snprintf(line, sizeof line, "%-16s %5s %12s %14s %10s %8s  %-21s %s\n", "NODE", "STEPS", "LARGEST-STEP",
             "LARGEST-OFFSET", "DRIFT-PPM", "FAILURES", "LAST-REPORT", "SILENT");
    out += line;
    for (const NodeSummary& n : nodes) {
        char drift[32] = "-";
        if (n.haveDrift)
            snprintf(drift, sizeof drift, "%+.2f", n.driftPpm);
        snprintf(line, sizeof line, "%-16s %5d %12s %14s %10s %8d  %-21s %s\n", n.node.c_str(), n.steps,
                 n.largestStep.empty() ? "-" : n.largestStep.c_str(),
                 n.largestOffset.empty() ? "-" : n.largestOffset.c_str(), drift, n.failures,
                 when(n.lastReport).c_str(), n.silent ? "yes" : "");
        out += line;
    }
    return out;
}

std::string formatHtml(const std::vector<NodeSummary>& nodes, long long since, long long now,
                       long long silentSeconds)
{
    const double width = 760, height = 140, left = 60, top = 10;
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Clock adjustments</title>\n<style>\n"
        "body{font-family:sans-serif;margin:24px;color:#222}table{border-collapse:collapse}"
        "td,th{border:1px solid #bbb;padding:3px 8px;text-align:right}td:first-child{text-align:left}"
        "section{margin:18px 0}.silent{color:#fff;background:#c0392b;padding:2px 6px;border-radius:3px}"
        "svg{background:#f7f7f7;border:1px solid #ccc}\n</style></head><body>\n";
    out += "<h1>Clock adjustments " + html(when(since)) + " to " + html(when(now)) + "</h1>\n";
    out += "<table><tr><th>node</th><th>steps</th><th>largest step</th><th>largest offset</th>"
           "<th>drift ppm</th><th>failures</th><th>last report</th></tr>\n";
    for (const NodeSummary& n : nodes) {
        char drift[32] = "-";
        if (n.haveDrift)
            snprintf(drift, sizeof drift, "%+.2f", n.driftPpm);
        out += "<tr><td>" + html(n.node) + (n.silent ? " <span class=\"silent\">silent</span>" : "") +
               "</td><td>" + std::to_string(n.steps) + "</td><td>" + html(n.largestStep.empty() ? "-" : n.largestStep) +
               "</td><td>" + html(n.largestOffset.empty() ? "-" : n.largestOffset) + "</td><td>" + drift +
               "</td><td>" + std::to_string(n.failures) + "</td><td>" + html(when(n.lastReport)) + "</td></tr>\n";
    }
    out += "</table>\n";
    for (const NodeSummary& n : nodes) {
        double scale = 0.001;
        for (const NodePoint& p : n.points)
            scale = std::max(scale, std::fabs(p.offset));
        auto x = [&](long long t) {
            return left + width * static_cast<double>(t - since) / static_cast<double>(std::max(1LL, now - since));
        };
        auto y = [&](double v) { return top + height / 2 - v / scale * (height / 2 - 8); };
        char buf[256];
        out += "<section><h2>" + html(n.node) + "</h2>";
        if (n.silent)
            out += "<p><span class=\"silent\">silent for " + span(now - n.lastReport) + "</span> (longer than " +
                   span(silentSeconds) + ")</p>";
        snprintf(buf, sizeof buf,
                 "<svg class=\"timeline\" data-node=\"%s\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">",
                 html(n.node).c_str(), left + width + 20, height + 2 * top + 20, left + width + 20,
                 height + 2 * top + 20);
        out += buf;
        snprintf(buf, sizeof buf,
                 "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#999\"/>"
                 "<text x=\"4\" y=\"%.1f\" font-size=\"10\">%+.3g s</text><text x=\"4\" y=\"%.1f\" "
                 "font-size=\"10\">0</text><text x=\"4\" y=\"%.1f\" font-size=\"10\">%+.3g s</text>",
                 left, y(0), left + width, y(0), y(scale) + 4, scale, y(0) + 4, y(-scale) + 4, -scale);
        out += buf;
        for (const NodePoint& p : n.points) {
            double px = x(p.at), py = y(p.offset);
            if (p.kind == 's')
                snprintf(buf, sizeof buf,
                         "<path class=\"step\" d=\"M%.1f %.1f l5 9 h-10 z\" fill=\"#c0392b\"><title>step %+.6f s</title></path>",
                         px, py - 6, p.offset);
            else if (p.kind == 'f')
                snprintf(buf, sizeof buf,
                         "<path class=\"failure\" d=\"M%.1f %.1f l8 8 m0 -8 l-8 8\" stroke=\"#555\" stroke-width=\"2\">"
                         "<title>failure</title></path>",
                         px - 4, py - 4);
            else
                snprintf(buf, sizeof buf,
                         "<circle class=\"adjust\" cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"#2471a3\"><title>%+.6f s</title></circle>",
                         px, py, p.offset);
            out += buf;
        }
        snprintf(buf, sizeof buf,
                 "<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\">%s</text><text x=\"%.1f\" y=\"%.1f\" "
                 "font-size=\"10\" text-anchor=\"end\">%s</text></svg></section>\n",
                 left, height + 2 * top + 14, when(since).c_str(), left + width, height + 2 * top + 14,
                 when(now).c_str());
        out += buf;
    }
    out += "<p>Steps: red triangles; adjustments: blue dots; failures: grey crosses.</p>\n</body></html>\n";
    return out;
}

long long parseSpan(const std::string& text)
{
    char* end = nullptr;
    long long n = strtoll(text.c_str(), &end, 10);
    if (!end || end == text.c_str() || n < 0 || end[0] == '\0' || end[1] != '\0')
        return -1;
    switch (*end) {
    case 's': return n;
    case 'm': return n * 60;
    case 'h': return n * 3600;
    case 'd': return n * 86400;
    default: return -1;
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

namespace {

// One session of the client library, ended with its owner.
class Session {
public:
    ~Session()
    {
        if (stmt_)
            OCIHandleFree(stmt_, OCI_HTYPE_STMT);
        if (began_)
            OCISessionEnd(svc_, err_, ses_, OCI_DEFAULT);
        if (attached_)
            OCIServerDetach(srv_, err_, OCI_DEFAULT);
        for (auto [h, type] : {std::pair<void*, ub4>{ses_, OCI_HTYPE_SESSION}, {svc_, OCI_HTYPE_SVCCTX},
                               {srv_, OCI_HTYPE_SERVER}, {err_, OCI_HTYPE_ERROR}, {env_, OCI_HTYPE_ENV}}) {
            if (h)
                OCIHandleFree(h, type);
        }
    }

    bool open(const std::string& connect, const std::string& user, const std::string& password)
    {
        OCIInitialize(OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr);
        if (OCIEnvInit(&env_, OCI_DEFAULT, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&err_), OCI_HTYPE_ERROR, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&srv_), OCI_HTYPE_SERVER, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&svc_), OCI_HTYPE_SVCCTX, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&ses_), OCI_HTYPE_SESSION, 0, nullptr) != OCI_SUCCESS)
            return false;
        attached_ = OCIServerAttach(srv_, err_, reinterpret_cast<const OraText*>(connect.data()),
                                    static_cast<sb4>(connect.size()), OCI_DEFAULT) == OCI_SUCCESS;
        if (!attached_)
            return false;
        OCIAttrSet(ses_, OCI_HTYPE_SESSION, const_cast<char*>(user.data()), static_cast<ub4>(user.size()),
                   OCI_ATTR_USERNAME, err_);
        OCIAttrSet(ses_, OCI_HTYPE_SESSION, const_cast<char*>(password.data()), static_cast<ub4>(password.size()),
                   OCI_ATTR_PASSWORD, err_);
        OCIAttrSet(svc_, OCI_HTYPE_SVCCTX, srv_, 0, OCI_ATTR_SERVER, err_);
        OCIAttrSet(svc_, OCI_HTYPE_SVCCTX, ses_, 0, OCI_ATTR_SESSION, err_);
        began_ = OCISessionBegin(svc_, err_, ses_, OCI_CRED_RDBMS, OCI_DEFAULT) == OCI_SUCCESS;
        return began_;
    }

    // Runs a query with one integer bound at :1 and hands each row's
    // columns (as texts; NULL as empty) to take.
    template <typename Take>
    bool query(const std::string& sql, long long bound, int columns, Take take)
    {
        if (stmt_)
            OCIHandleFree(stmt_, OCI_HTYPE_STMT);
        stmt_ = nullptr;
        if (OCIHandleAlloc(env_, reinterpret_cast<void**>(&stmt_), OCI_HTYPE_STMT, 0, nullptr) != OCI_SUCCESS ||
            OCIStmtPrepare(stmt_, err_, reinterpret_cast<const OraText*>(sql.data()), static_cast<ub4>(sql.size()),
                           OCI_NTV_SYNTAX, OCI_DEFAULT) != OCI_SUCCESS)
            return false;
        OCIBind* bind = nullptr;
        if (sql.find(":1") != std::string::npos &&
            OCIBindByPos(stmt_, &bind, err_, 1, &bound, sizeof bound, SQLT_INT, nullptr, nullptr, nullptr, 0,
                         nullptr, OCI_DEFAULT) != OCI_SUCCESS)
            return false;
        std::vector<std::vector<char>> buf(static_cast<size_t>(columns), std::vector<char>(4096));
        std::vector<sb2> null(static_cast<size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            OCIDefine* def = nullptr;
            if (OCIDefineByPos(stmt_, &def, err_, static_cast<ub4>(c + 1), buf[c].data(), 4096, SQLT_STR,
                               &null[c], nullptr, nullptr, OCI_DEFAULT) != OCI_SUCCESS)
                return false;
        }
        if (OCIStmtExecute(svc_, stmt_, err_, 0, 0, nullptr, nullptr, OCI_DEFAULT) != OCI_SUCCESS)
            return false;
        for (;;) {
            sword rc = OCIStmtFetch(stmt_, err_, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
            if (rc == OCI_NO_DATA)
                return true;
            if (rc != OCI_SUCCESS && rc != OCI_SUCCESS_WITH_INFO)
                return false;
            std::vector<std::string> row;
            row.reserve(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c)
                row.emplace_back(null[c] == -1 ? "" : buf[c].data());
            take(row);
        }
    }

    std::string error() const
    {
        OraText text[512] = {};
        sb4 code = 0;
        OCIErrorGet(err_, 1, nullptr, &code, text, sizeof text, OCI_HTYPE_ERROR);
        return reinterpret_cast<const char*>(text);
    }

private:
    OCIEnv* env_ = nullptr;
    OCIError* err_ = nullptr;
    OCIServer* srv_ = nullptr;
    OCISvcCtx* svc_ = nullptr;
    OCISession* ses_ = nullptr;
    OCIStmt* stmt_ = nullptr;
    bool attached_ = false, began_ = false;
};

int reportUsage()
{
    fputs("usage: sitedb report [--since 1d|7d|DATE] [--silent 15m] [--html FILE] [--user U] [--password P] "
          "[CONNECT]\n",
          stderr);
    return 2;
}

}  // namespace

int runReport(const std::vector<std::string>& args, const std::string& defaultConnect,
              const std::string& defaultUser, const std::string& defaultPassword)
{
    std::string connect = defaultConnect, user = defaultUser, password = defaultPassword, htmlFile;
    long long now = static_cast<long long>(time(nullptr));
    long long since = now - 86400, silent = 900;
    bool connectGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--since" && hasValue) {
            const std::string& v = args[++i];
            long long s = parseSpan(v);
            since = s >= 0 ? now - s : parseDate(v);
            if (since < 0)
                return reportUsage();
        } else if (a == "--silent" && hasValue) {
            silent = parseSpan(args[++i]);
            if (silent < 0)
                return reportUsage();
        } else if (a == "--html" && hasValue) {
            htmlFile = args[++i];
        } else if (a == "--user" && hasValue) {
            user = args[++i];
        } else if (a == "--password" && hasValue) {
            password = args[++i];
        } else if (!connectGiven && !a.empty() && a[0] != '-') {
            connect = a;
            connectGiven = true;
        } else {
            return reportUsage();
        }
    }
    Session db;
    if (!db.open(connect, user, password)) {
        fprintf(stderr, "sitedb: %s\n", db.error().c_str());
        return 1;
    }
    // The period's rows: an event is stored after it happened, so those of
    // the period were stored since its start.
    std::vector<SiteRow> rows;
    bool ok = db.query("SELECT NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME FROM DBU.NTPADJUSTS WHERE RUNTIME >= :1",
                       since, 6, [&](const std::vector<std::string>& r) {
                           rows.push_back({r[0], r[1], r[2], r[3], r[4], strtoll(r[5].c_str(), nullptr, 10)});
                       });
    std::vector<std::pair<std::string, long long>> last;
    ok = ok && db.query("SELECT NODE, MAX(RUNTIME) FROM DBU.NTPADJUSTS GROUP BY NODE", 0, 2,
                        [&](const std::vector<std::string>& r) {
                            last.emplace_back(r[0], strtoll(r[1].c_str(), nullptr, 10));
                        });
    if (!ok) {
        fprintf(stderr, "sitedb: %s\n", db.error().c_str());
        return 1;
    }
    std::vector<NodeSummary> nodes = summarize(rows, last, since, now, silent);
    fputs(formatTable(nodes).c_str(), stdout);
    if (!htmlFile.empty()) {
        std::string page = formatHtml(nodes, since, now, silent);
        // The page is the operator's to serve: 0644, whole or absent, and
        // never written through whatever another user put at its name.
        std::string why;
        if (publishFile(htmlFile, page, 0644, false, why) != 0) {
            fprintf(stderr, "sitedb: %s\n", why.c_str());
            return 1;
        }
    }
    return 0;
}
