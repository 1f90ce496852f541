#include "LineParser.h"

#include "AnalyzeLogFile.h"
#include "Diagnostics.h"

namespace {

using Recogniser = Seen (*)(std::string_view, RecogniserMemory&, Event&);

// Asked in this order; the shapes of these tools do not overlap.
constexpr Recogniser kRecognisers[] = {recogniseNtpdig, recogniseChronyd, recogniseNtpd};

// A record as classic ntpdate's line would have given it: pid is the kind
// with the blank that stands before it in a classic line, ':' and the
// process id; a failure has no kind and so no blank (":812").
void fill(AdjustTimeInfo& info, std::string_view host, const Event& e)
{
    info.node.assign(host);
    info.time.assign(e.time);
    info.serverIp.assign(e.server);
    info.offset.assign(e.offset);
    info.pid.clear();
    if (!e.kind.empty()) {
        info.pid += ' ';
        info.pid.append(e.kind);
    }
    info.pid += ':';
    info.pid.append(e.pid);
}

}  // namespace

LineResult LineParser::parse(std::string_view line, AdjustTimeInfo& info)
{
    // A classic ntpdate line is the classic parser's, whatever else it holds.
    if (line.find("ntpdate[") == std::string_view::npos) {
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
            fill(info, host_, event);
            return LineResult::Record;
        }
    }
    return AnalyzeLogFile::separateLog(line, host_, hostOk_, info) < 0 ? LineResult::Rejected
                                                                        : LineResult::Record;
}
