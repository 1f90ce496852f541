// chronyd run once: chronyd -q (set the clock and exit) or -Q (only query).
//
//   2026-12-08T23:34:17Z System clock wrong by -0.000002 seconds (step)
//   2026-12-08T23:34:08Z System clock wrong by -0.000004 seconds (ignored)   (-Q)
//   2026-12-08T23:34:40Z Timeout reached                                      (no server answered)
//   2026-12-08T23:35:04Z Fatal error : adjtimex(0x8001) failed : Operation not permitted
//   2026-12-08T23:35:09Z Could not step system clock                         (after a step)
//
// Every other line with chronyd's timestamp (start-up, privileges, "chronyd
// exiting") tells no event. chronyd names neither the server nor its
// process id in these lines, so both stay empty. A slew and a query
// ("ignored") are "adjust", a step is "step". chronyd says that a step
// failed only after announcing it, so a step is held until chronyd's next
// line ("chronyd exiting" follows every run): a step it could not make is a
// failure, never a step.
#include "LineShape.h"
#include "Recognisers.h"

namespace {

// What one of chronyd's lines tells on its own.
Seen tell(LineShape& s, std::string_view time, std::string_view message, Event& event)
{
    if (message == "Timeout reached" || startsWith(message, "Fatal error : ")) {
        event.time = time;
        return Seen::Event;  // a failure: no server, offset or kind
    }
    size_t at = 0;
    if (!(s.lit("System clock wrong by ") && (at = s.pos(), s.number())))
        return Seen::Chatter;
    std::string_view offset = s.since(at);
    std::string_view kind;
    if (s.lit(" seconds (step)"))
        kind = "step";
    else if (s.lit(" seconds (slew)") || s.lit(" seconds (ignored)"))
        kind = "adjust";
    if (kind.empty() || !s.atEnd())
        return Seen::Chatter;
    event.time = time;
    event.offset = offset;
    event.kind = kind;
    return Seen::Event;
}

void hold(RecogniserMemory& memory, const Event& step)
{
    memory.chronydTime.assign(step.time);
    memory.chronydOffset.assign(step.offset);
    memory.chronydHeld = true;
}

}  // namespace

Event chronydHeldStep(RecogniserMemory& memory)
{
    memory.releasedTime.swap(memory.chronydTime);
    memory.releasedOffset.swap(memory.chronydOffset);
    Event step;
    step.time = memory.releasedTime;
    step.offset = memory.releasedOffset;
    step.kind = "step";
    step.held = true;
    memory.chronydHeld = false;
    return step;
}

Seen recogniseChronyd(std::string_view line, RecogniserMemory& memory, Event& event)
{
    LineShape s(line);
    if (!(s.isoDate() && s.lit("T") && s.clockTime() && s.lit("Z ")))
        return Seen::NotMine;
    std::string_view time = line.substr(0, s.pos() - 1);
    std::string_view message = s.rest();

    if (message == "Could not step system clock" && memory.chronydHeld) {
        event = chronydHeldStep(memory);
        event.offset = {};  // a failure: the step was not made
        event.kind = {};
        return Seen::Event;
    }
    Event own;
    Seen seen = tell(s, time, message, own);
    if (!memory.chronydHeld) {
        if (seen == Seen::Event && own.kind == "step") {
            hold(memory, own);
            return Seen::Chatter;
        }
        event = own;
        return seen;
    }
    // Any other line of chronyd's: the held step was made.
    event = chronydHeldStep(memory);
    if (seen == Seen::Event && own.kind == "step") {
        hold(memory, own);
    } else if (seen == Seen::Event) {
        memory.extra = own;
        memory.extraHeld = true;
    }
    return Seen::Event;
}
