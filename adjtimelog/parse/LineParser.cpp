#include "LineParser.h"

#include "ClassicLine.h"
#include "LineShape.h"

namespace {

using Recogniser = Seen (*)(std::string_view, RecogniserMemory&, Event&);

// Asked in this order; the shapes of these tools do not overlap.
constexpr Recogniser kRecognisers[] = {recogniseNtpdig, recogniseChronyd, recogniseNtpd};

}  // namespace

LineResult LineParser::parse(std::string_view line, AdjustTimeInfo& info)
{
    notes_.clear();
    // A classic ntpdate line is the classic parser's, whatever else it
    // holds. The first "ntpdate" is where the classic parser cuts the time;
    // a classic line's is followed by '['.
    constexpr auto npos = std::string_view::npos;
    size_t g = findLiteral(line, "ntpdate");
    bool classic = g != npos &&
                   ((g + 7 < line.size() && line[g + 7] == '[') || findLiteral(line.substr(g + 1), "ntpdate[") != npos);
    if (!classic) {
        for (Recogniser recognise : kRecognisers) {
            Event event;
            Seen seen = recognise(line, memory_, event);
            if (seen == Seen::NotMine)
                continue;
            if (seen == Seen::Chatter)
                return LineResult::NoRecord;
            return record(event, info) ? LineResult::Record : LineResult::Rejected;
        }
    }
    return parseClassicLine(line, g, run_, info, made_, notes_) < 0 ? LineResult::Rejected : LineResult::Record;
}

bool LineParser::record(const Event& event, AdjustTimeInfo& info)
{
    if (!run_.hostOk) {
        notes_.add(Note::HostUnknown);
        return false;
    }
    Event e = event;
    if (e.held && made_) {
        // The texts live in the memory, which the next line may change.
        e.time = made_->join(e.time);
        e.offset = made_->join(e.offset);
    }
    // pid is the kind with the blank that stands before it in a classic
    // line, ':' and the process id; a failure has no kind and so no blank
    // (":812").
    std::string_view blank = e.kind.empty() ? std::string_view() : std::string_view(" ");
    setFields(info, made_, run_.host, e.time, e.server, e.offset, blank, e.kind, ":", e.pid);
    return true;
}

bool LineParser::next(AdjustTimeInfo& info)
{
    notes_.clear();
    if (!memory_.extraHeld)
        return false;
    memory_.extraHeld = false;
    return record(memory_.extra, info);
}

bool LineParser::finish(AdjustTimeInfo& info)
{
    notes_.clear();
    return memory_.chronydHeld && record(chronydHeldStep(memory_), info);
}
