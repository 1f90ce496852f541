// The line parser: cuts one ntpdate output line into the five fields by plain
// substring searches. Numbers are never interpreted; every field keeps the
// bytes of the line. A marker standing at the very start or end of the
// working text gives an empty field rather than a read outside the text.

#include "AnalyzeLogFile.h"
#include "Diagnostics.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr auto npos = std::string_view::npos;

// The first occurrence of a literal in s. Lines are short: a plain loop
// that the compiler sees whole beats a library call per candidate.
template <size_t N>
size_t find(std::string_view s, const char (&literal)[N])
{
    constexpr size_t n = N - 1;
    if (s.size() < n)
        return npos;
    const char* d = s.data();
    const size_t last = s.size() - n;
    for (size_t i = 0; i <= last; ++i) {
        if (d[i] == literal[0] && memcmp(d + i + 1, literal + 1, n - 1) == 0)
            return i;
    }
    return npos;
}

size_t find(std::string_view s, char c)
{
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == c)
            return i;
    }
    return npos;
}

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
                                AdjustTimeInfo& info)
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
    size_t g = find(work, "ntpdate");
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

    size_t p = find(work, '[');
    if (p == npos) {
        diag("AnalyzeLogFile::separateLog pid false! ");
        return -1;
    }
    work = work.substr(p + 1);

    std::string_view pid;
    size_t q = find(work, ']');
    if (q != npos) {
        pid = work.substr(0, q);
        work = cutAt(work, q + 2);  // drops "]:" and keeps the blank
    }

    std::string_view kind;
    size_t t = find(work, "time");
    if (t != npos)
        kind = upToBefore(work, t);

    size_t s = find(work, "server");
    if (s == npos) {
        diag("AnalyzeLogFile::separateLog offset or serverIp false! ");
        return -1;
    }
    work = cutAt(work, s + 7);

    std::string_view server;
    std::string_view offset;
    size_t o = find(work, "offset");
    if (o != npos) {
        server = upToBefore(work, o);
        offset = cutAt(work, o + 7);
    }

    if (find(work, "sec") != npos && offset.size() >= 4)
        offset.remove_suffix(4);  // " sec"

    info.node.assign(host);
    info.time.assign(time);
    info.serverIp.assign(server);
    info.offset.assign(offset);
    info.pid.reserve(kind.size() + 1 + pid.size());
    info.pid.assign(kind);
    info.pid += ':';
    info.pid.append(pid);
    return 0;
}
