#include "ClassicLine.h"
#include "LineShape.h"

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

// Classic ntpdate prints the day of the month in two places: " 7 Dec",
// "17 Dec". A line that begins with two digits and a blank begins with its
// day.
bool twoDigitDay(std::string_view line)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return line.size() >= 3 && digit(line[0]) && digit(line[1]) && line[2] == ' ';
}

}  // namespace

std::string_view noteText(Note note)
{
    switch (note) {
    case Note::HostUnknown:
        return "gethostname calling error! ";
    case Note::TimeSet:
        return "AnalyzeLogFile::separateLog set time! ";
    case Note::NoPid:
        return "AnalyzeLogFile::separateLog pid false! ";
    case Note::NoServer:
        return "AnalyzeLogFile::separateLog offset or serverIp false! ";
    }
    return {};
}

int parseClassicLine(std::string_view line, size_t g, const RunFacts& run, AdjustTimeInfo& info, Arena* made,
                     Notes& notes)
{
    if (!run.hostOk) {
        // An empty record would reach the report and the database as if it
        // were an event; the line is rejected instead.
        notes.add(Note::HostUnknown);
        return -1;
    }

    std::string_view work = line;

    std::string_view time;
    if (g != npos) {
        // The first character of the line is skipped (the blank ntpdate
        // pads a one-digit day with), but a day of two digits ("17 Dec")
        // is kept whole; the blank before "ntpdate" stays.
        if (twoDigitDay(line))
            time = line.substr(0, g);
        else
            time = g >= 1 ? line.substr(1, g - 1) : std::string_view();
        work = work.substr(g);
    } else {
        time = run.time;
        notes.add(Note::TimeSet);
    }

    // The places of classic ntpdate's own line are tried first; each test
    // is exact (the text it skips cannot hold what is sought), so a line of
    // another shape is cut just the same, only by the searches below.
    size_t p = work.size() > 7 && work[7] == '[' ? 7 : findByte(work, '[');
    if (p == npos) {
        notes.add(Note::NoPid);
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
        notes.add(Note::NoServer);
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

    setFields(info, made, run.host, time, server, offset, kind, ":", pid);
    return 0;
}
