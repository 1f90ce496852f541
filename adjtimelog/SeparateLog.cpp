// The line parser: cuts one ntpdate output line into the five fields by plain
// substring searches. Numbers are never interpreted; every field keeps the
// bytes of the line. A marker standing at the very start or end of the
// working text gives an empty field rather than a read outside the text.

#include "AnalyzeLogFile.h"
#include "Diagnostics.h"
#include "LineShape.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr auto npos = std::string_view::npos;

// The text from position p to the end; empty when p lies past the end.
std::string_view cutAt(std::string_view s, size_t p)
{
    return p <= s.size() ? s.substr(p) : std::string_view();
}

// The characters before the one just ahead of position p.
std::string_view upToBefore(std::string_view s, size_t p)
{
    return p >= 1 ? s.substr(0, p - 1) : std::string_view();
}

std::string localTimeText()
{
    char buf[80] = {};
    time_t now = ::time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm) != nullptr)
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

}  // namespace

bool queryHostName(std::string& host)
{
    // Room for the longest name the kernel allows, so a long name is never
    // cut; the extra byte keeps the buffer terminated whatever happens.
    char buf[HOST_NAME_MAX + 2] = {};
    if (gethostname(buf, HOST_NAME_MAX + 1) != 0)
        return false;
    host = buf;
    return true;
}

int AnalyzeLogFile::separateLog(const std::string& line, AdjustTimeInfo& info)
{
    std::string host;
    bool ok = queryHostName(host);
    return separateLog(line, host, ok, info);
}

int AnalyzeLogFile::separateLog(std::string_view line, std::string_view host, bool hostOk,
                                AdjustTimeInfo& info, Arena* made)
{
    return separateLogAt(line, findLiteral(line, "ntpdate"), host, hostOk, info, made);
}

int AnalyzeLogFile::separateLogAt(std::string_view line, size_t g, std::string_view host, bool hostOk,
                                  AdjustTimeInfo& info, Arena* made)
{
    if (!hostOk) {
        // An empty record would reach the report and the database as if it
        // were an event; the line is rejected instead.
        diag("gethostname calling error! ");
        return -1;
    }

    std::string_view work = line;

    std::string_view time;
    std::string timeNow;
    if (g != npos) {
        // The first character of the line is always skipped; the blank
        // before "ntpdate" stays.
        time = g >= 1 ? line.substr(1, g - 1) : std::string_view();
        work = work.substr(g);
    } else {
        timeNow = localTimeText();
        time = timeNow;
        diag("AnalyzeLogFile::separateLog set time! ");
    }

    // The places of classic ntpdate's own line are tried first; each test
    // is exact (the text it skips cannot hold what is sought), so a line of
    // another shape is cut just the same, only by the searches below.
    size_t p = work.size() > 7 && work[7] == '[' ? 7 : findByte(work, '[');
    if (p == npos) {
        diag("AnalyzeLogFile::separateLog pid false! ");
        return -1;
    }
    work = work.substr(p + 1);

    std::string_view pid;
    size_t q = 0;
    while (q < work.size() && work[q] >= '0' && work[q] <= '9')
        ++q;
    if (q == work.size() || work[q] != ']')
        q = findByte(work, ']');
    if (q != npos) {
        pid = work.substr(0, q);
        work = cutAt(work, q + 2);  // drops "]:" and keeps the blank
    }

    size_t t, s;
    if (startsWith(work, " adjust time server ")) {
        t = 8, s = 13;
    } else if (startsWith(work, " step time server ")) {
        t = 6, s = 11;
    } else {
        t = findLiteral(work, "time");
        s = findLiteral(work, "server");
    }
    std::string_view kind;
    if (t != npos)
        kind = upToBefore(work, t);

    if (s == npos) {
        diag("AnalyzeLogFile::separateLog offset or serverIp false! ");
        return -1;
    }
    work = cutAt(work, s + 7);

    std::string_view server;
    std::string_view offset;
    size_t o = findLiteral(work, "offset");
    if (o != npos) {
        server = upToBefore(work, o);
        offset = cutAt(work, o + 7);
    }

    // Only whether "sec" stands anywhere matters; a classic line ends in it.
    bool sec = endsWith(work, "sec") || findLiteral(work, "sec") != npos;
    if (sec && offset.size() >= 4)
        offset.remove_suffix(4);  // " sec"

    if (made && !timeNow.empty())
        time = made->join(timeNow);  // the run's time outlives this call
    setFields(info, made, host, time, server, offset, kind, ":", pid);
    return 0;
}
