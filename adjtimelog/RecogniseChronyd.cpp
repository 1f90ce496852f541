// chronyd run once: chronyd -q (set the clock and exit) or -Q (only query).
//
//   2026-12-08T23:34:17Z System clock wrong by -0.000002 seconds (step)
//   2026-12-08T23:34:08Z System clock wrong by -0.000004 seconds (ignored)   (-Q)
//   2026-12-08T23:34:40Z Timeout reached                                      (no server answered)
//   2026-12-08T23:35:04Z Fatal error : adjtimex(0x8001) failed : Operation not permitted
//
// Every other line with chronyd's timestamp (start-up, privileges, "chronyd
// exiting") tells no event. chronyd names neither the server nor its
// process id in these lines, so both stay empty. A slew and a query
// ("ignored") are "adjust", a step is "step".
#include "LineShape.h"
#include "Recognisers.h"

Seen recogniseChronyd(std::string_view line, RecogniserMemory&, Event& event)
{
    LineShape s(line);
    if (!(s.isoDate() && s.lit("T") && s.clockTime() && s.lit("Z ")))
        return Seen::NotMine;
    std::string_view time = line.substr(0, s.pos() - 1);
    std::string_view message = s.rest();

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
