// NTPsec's ntpd run once (ntpd -q -g, the documented ntpdate replacement).
// With -n it logs to standard error; on leaving it prints a summary line:
//
//   2026-12-08T23:36:29 ntpd[8541]: CLOCK: time set +3.000080 s
//   ntpd: time set +3.000080s
//   2026-12-08T23:35:21 ntpd[5693]: CLOCK: time slew -0.000006 s
//   2026-12-08T23:33:57 ntpd[2020]: IO: unable to bind to wildcard address :: - ...; EXITING
//   2026-12-08T23:36:02 ntpd[6983]: ERR: ntpd exiting on signal 15 (Terminated)
//
// The log line and the summary tell one event; it makes one record, from the
// log line, which has the time and the process id. A summary without its log
// line (ntpd logging to syslog) makes the record alone. "set" is a step,
// "slew" an adjustment. After "CLOCK: step_systime: Operation not
// permitted" (ntpd still logs "time set" when it could not set the clock)
// the event is a failure: no kind and no offset. Every other log line
// (start-up, interfaces, DNS, configuration) tells no event.
#include "LineShape.h"
#include "Recognisers.h"

namespace {

// "set +3.000080" or "slew -0.000006" from "time set +3.000080"; false when
// the text is not of that shape.
bool clockEvent(LineShape& s, std::string_view& kind, std::string_view& offset)
{
    if (s.lit("time set "))
        kind = "step";
    else if (s.lit("time slew "))
        kind = "adjust";
    else
        return false;
    size_t at = s.pos();
    if (!s.number())
        return false;
    offset = s.since(at);
    return true;
}

std::string remembered(std::string_view kind, std::string_view offset)
{
    std::string r(kind);
    r += ' ';
    r.append(offset);
    return r;
}

Seen summaryLine(std::string_view line, RecogniserMemory& memory, Event& event)
{
    LineShape s(line);
    if (!s.lit("ntpd: "))
        return Seen::NotMine;
    std::string_view kind, offset;
    if (!(clockEvent(s, kind, offset) && s.lit("s") && s.atEnd()))
        return Seen::Chatter;
    std::string told = remembered(kind, offset);
    if (memory.ntpdLogged == told) {
        memory.ntpdLogged.clear();
        return Seen::Chatter;  // its log line made the record
    }
    event.offset = offset;
    event.kind = kind;
    return Seen::Event;
}

}  // namespace

Seen recogniseNtpd(std::string_view line, RecogniserMemory& memory, Event& event)
{
    LineShape s(line);
    if (!(s.isoDate() && s.lit("T") && s.clockTime()))
        return summaryLine(line, memory, event);
    std::string_view time = s.since(0);
    size_t at = 0;
    if (!(s.lit(" ntpd[") && (at = s.pos(), s.someDigits())))
        return Seen::NotMine;
    std::string_view pid = s.since(at);
    if (!s.lit("]: "))
        return Seen::NotMine;
    std::string_view message = s.rest();

    std::string_view kind, offset;
    if (s.lit("CLOCK: ") && clockEvent(s, kind, offset) && s.lit(" s") && s.atEnd()) {
        memory.ntpdLogged = remembered(kind, offset);
        if (!memory.ntpdFailed) {
            event.offset = offset;
            event.kind = kind;
        }
        memory.ntpdFailed = false;
    } else if (startsWith(message, "CLOCK: ") && message.find("_systime: ") != std::string_view::npos) {
        memory.ntpdFailed = true;  // the clock could not be set or slewed
        return Seen::Chatter;
    } else if (!(startsWith(message, "IO: unable to bind ") && endsWith(message, "; EXITING")) &&
               !startsWith(message, "ERR: ntpd exiting on signal ")) {
        return Seen::Chatter;
    }
    event.time = time;
    event.pid = pid;
    return Seen::Event;
}
