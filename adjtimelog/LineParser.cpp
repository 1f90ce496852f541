#include "LineParser.h"

#include "AnalyzeLogFile.h"
#include "Diagnostics.h"
#include "LineShape.h"

namespace {

using Recogniser = Seen (*)(std::string_view, RecogniserMemory&, Event&);

// Asked in this order; the shapes of these tools do not overlap.
constexpr Recogniser kRecognisers[] = {recogniseNtpdig, recogniseChronyd, recogniseNtpd};

// A record as classic ntpdate's line would have given it: pid is the kind
// with the blank that stands before it in a classic line, ':' and the
// process id; a failure has no kind and so no blank (":812").
void fill(AdjustTimeInfo& info, std::string_view host, const Event& e, Arena* made)
{
    std::string_view blank = e.kind.empty() ? std::string_view() : std::string_view(" ");
    if (made) {
        info.node.setView(host);
        info.time.setView(e.time);
        info.serverIp.setView(e.server);
        info.offset.setView(e.offset);
        info.pid.setView(made->join(blank, e.kind, ":", e.pid));
        return;
    }
    info.node = host;
    info.time = e.time;
    info.serverIp = e.server;
    info.offset = e.offset;
    info.pid = std::string(blank) + std::string(e.kind) + ':' + std::string(e.pid);
}

}  // namespace

LineResult LineParser::parse(std::string_view line, AdjustTimeInfo& info)
{
    // A classic ntpdate line is the classic parser's, whatever else it
    // holds. The first "ntpdate" is where the classic parser cuts the time;
    // a classic line's is followed by '['.
    constexpr auto npos = std::string_view::npos;
    size_t g = findLiteral(line, "ntpdate");
    bool classic = g != npos && ((g + 7 < line.size() && line[g + 7] == '[') ||
                                 findLiteral(line.substr(g + 1), "ntpdate[") != npos);
    if (!classic) {
        for (Recogniser recognise : kRecognisers) {
            Event event;
            Seen seen = recognise(line, memory_, event);
            if (seen == Seen::NotMine)
                continue;
            if (seen == Seen::Chatter)
                return LineResult::NoRecord;
            if (!hostOk_) {
                diag("gethostname calling error! ");
                return LineResult::Rejected;
            }
            fill(info, host_, event, made_);
            return LineResult::Record;
        }
    }
    return AnalyzeLogFile::separateLogAt(line, g, host_, hostOk_, info, made_) < 0 ? LineResult::Rejected
                                                                              : LineResult::Record;
}
