// The line parsers on any bytes. Beyond not crashing: the classic parser's
// result is 0 or -1, a rejected line leaves the record as it was, and an
// accepted line fills every field from the line's own bytes (or the run's
// host name and time). The same holds for every line of the input passed in
// turn to one LineParser, whose recognisers remember lines, except that the
// kind of a record may also be one of the words they write.
#include "ClassicLine.h"
#include "LineParser.h"
#include "LineShape.h"

#include <cstdlib>
#include <string>
#include <string_view>

static bool isSubstring(std::string_view part, std::string_view whole)
{
    return whole.find(part) != std::string_view::npos;
}

static const RunFacts kRun{"fuzzhost", true, "2026-12-09 10:00:00"};

// pid is the kind, ':' and the process id, both cut from the line (the kind
// may also be one a recogniser names).
static bool pidFromLine(std::string_view pid, std::string_view line, bool recognised)
{
    for (size_t i = pid.find(':'); i != std::string_view::npos; i = pid.find(':', i + 1)) {
        std::string_view kind = pid.substr(0, i);
        bool kindOk = isSubstring(kind, line) || (recognised && (kind == " step" || kind == " adjust"));
        if (kindOk && isSubstring(pid.substr(i + 1), line))
            return true;
    }
    return false;
}

static bool fromLine(const AdjustTimeInfo& info, const std::string& line, bool recognised)
{
    if (info.node != "fuzzhost")
        return false;
    // A classic line's time starts at its second byte, or at its first
    // when the line begins with a two-digit day.
    bool timeFromLine = recognised ? isSubstring(info.time, line)
                                   : (line.size() > 1 && line.compare(1, info.time.size(), info.time.view()) == 0) ||
                                         line.compare(0, info.time.size(), info.time.view()) == 0;
    if (!timeFromLine && info.time != kRun.time && !info.time.empty())
        return false;
    return isSubstring(info.serverIp, line) && isSubstring(info.offset, line) &&
           pidFromLine(info.pid, line, recognised);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const AdjustTimeInfo before{"n", "t", "s", "o", "p"};
    AdjustTimeInfo info = before;
    Notes notes;
    int rc = parseClassicLine(input, findLiteral(input, "ntpdate"), kRun, info, nullptr, notes);
    if (rc != 0 && rc != -1)
        abort();
    if (rc == -1 ? !(info == before) : !fromLine(info, input, false))
        abort();

    // The analyzer's parser, whose records view the line and an arena, and
    // one whose records own their texts, tell the same.
    LineParser parser(kRun);
    Arena made;
    LineParser viewing(kRun, &made);
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        const std::string line = input.substr(start, end - start);
        start = end + 1;
        info = before;
        AdjustTimeInfo viewed = before;
        LineResult result = parser.parse(line, info);
        if (viewing.parse(line, viewed) != result)
            abort();
        if (!(viewed == info))
            abort();
        switch (result) {
        case LineResult::Record:
            // A record may tell what an earlier line said (chronyd's step
            // is let go by the line after it).
            if (!fromLine(info, input.substr(0, end), true))
                abort();
            break;
        case LineResult::NoRecord:
        case LineResult::Rejected:
            if (!(info == before))
                abort();
            break;
        }
        // A second record of the line (a held step let go): both tell it.
        AdjustTimeInfo more, moreViewed;
        bool got = parser.next(more);
        if (viewing.next(moreViewed) != got || (got && (!(more == moreViewed) || !fromLine(more, input, true))))
            abort();
    }
    AdjustTimeInfo last, lastViewed;
    bool got = parser.finish(last);
    if (viewing.finish(lastViewed) != got || (got && (!(last == lastViewed) || !fromLine(last, input, true))))
        abort();
    return 0;
}
