// NTPsec's ntpdig, also run through its ntpdate wrapper and as sntp.
//
//   2026-12-08 23:33:40.138702 (+0000) -0.000049 +/- 0.000188 127.0.0.1 s8 no-leap
//   2026-12-08 23:33:49.991209 (+0000) -0.000051 +/- 0.000177 localhost ::1 s8 no-leap
//   {"time":"2026-12-08T23:34:01.509113+0000","offset":-0.000103,...,"ip":"127.0.0.1",...,"adjusted":false}
//   CLOCK: time stepped by -1.500049      (stderr, before the result line it belongs to)
//   CLOCK: adj_systime: Operation not permitted   (the correction failed, before its result)
//   ntpdig: no eligible servers           (the failure)
//
// The result line shows the server as given and, when that was a name, the
// address it resolved to; the record takes the address. The fraction of the
// seconds is printed without its leading zeros (".73287" for .073287): the
// text stays as printed. A query (-q) and a slew both print "adjust", as
// classic ntpdate -q did; a step is known from the CLOCK line before the
// result or, in JSON, from "adjusted":true (ntpdig steps exactly then). A
// result after "CLOCK: step_systime: ..." or "CLOCK: adj_systime: ..." (the
// clock could not be set) is a failure: the server stays, the offset and
// kind go, so that nothing reads as a correction that never happened.
#include "LineShape.h"
#include "Recognisers.h"

namespace {

constexpr size_t kMaxAnnounced = 16;

std::string_view unsigned_(std::string_view number)
{
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    return number;
}

// True when a step of this offset was announced; that announcement is used up.
bool takeAnnouncedStep(RecogniserMemory& memory, std::string_view offset)
{
    std::vector<std::string>& steps = memory.announcedSteps;
    for (auto it = steps.begin(); it != steps.end(); ++it) {
        if (*it == unsigned_(offset)) {
            steps.erase(it);
            return true;
        }
    }
    return false;
}

bool isLeap(std::string_view w)
{
    return w == "no-leap" || w == "add-leap" || w == "del-leap" || w == "unsync";
}

bool isStratum(std::string_view w)
{
    LineShape s(w);
    return s.lit("s") && s.someDigits() && s.atEnd();
}

// A result after the tool said it could not set the clock tells a failure.
void failedCorrection(RecogniserMemory& memory, Event& event)
{
    if (memory.ntpdigFailed) {
        event.offset = {};
        event.kind = {};
        memory.ntpdigFailed = false;
    }
}

// DATE TIME[.FRACTION] (ZONE) OFFSET +/- DISTANCE HOST [ADDRESS] sSTRATUM LEAP
Seen resultLine(std::string_view line, RecogniserMemory& memory, Event& event)
{
    LineShape s(line);
    if (!(s.isoDate() && s.lit(" ") && s.clockTime()))
        return Seen::NotMine;
    if (s.lit("."))
        s.someDigits();
    if (!(s.lit(" (") && (s.lit("+") || s.lit("-")) && s.digits(4) && s.lit(")")))
        return Seen::NotMine;
    std::string_view time = s.since(0);
    if (!s.lit(" "))
        return Seen::NotMine;
    size_t at = s.pos();
    if (!s.number())
        return Seen::NotMine;
    std::string_view offset = s.since(at);
    if (!(s.lit(" +/- ") && s.number() && s.lit(" ")))
        return Seen::NotMine;

    // HOST [ADDRESS] sSTRATUM LEAP, single blanks between.
    std::string_view words[4];
    size_t n = 0;
    for (;;) {
        at = s.pos();
        if (n == 4 || !s.word())
            return Seen::NotMine;
        words[n++] = s.since(at);
        if (s.atEnd())
            break;
        if (!s.lit(" "))
            return Seen::NotMine;
    }
    if (n < 3 || !isStratum(words[n - 2]) || !isLeap(words[n - 1]))
        return Seen::NotMine;

    event.time = time;
    event.server = words[n - 3];
    event.offset = offset;
    event.kind = takeAnnouncedStep(memory, offset) ? "step" : "adjust";
    failedCorrection(memory, event);
    return Seen::Event;
}

// One member of ntpdig's flat JSON object: "key": then a string without
// escapes (ntpdig writes none) or a bare number, true or false.
bool jsonMember(LineShape& s, std::string_view& key, std::string_view& value, bool& quoted)
{
    if (!s.lit("\""))
        return false;
    size_t at = s.pos();
    s.skipUntilAny("\"\\");
    key = s.since(at);
    if (!s.lit("\":"))
        return false;
    quoted = s.lit("\"");
    at = s.pos();
    s.skipUntilAny(quoted ? "\"\\" : ",}");
    value = s.since(at);
    return quoted ? s.lit("\"") : !value.empty();
}

bool isJsonTime(std::string_view t)
{
    LineShape s(t);
    if (!(s.isoDate() && s.lit("T") && s.clockTime()))
        return false;
    if (s.lit("."))
        s.someDigits();
    return (s.lit("+") || s.lit("-")) && s.digits(4) && s.atEnd();
}

Seen jsonLine(std::string_view line, RecogniserMemory& memory, Event& event)
{
    LineShape s(line);
    if (!s.lit("{"))
        return Seen::NotMine;
    std::string_view time, offset, ip, adjusted;
    bool haveTime = false, haveOffset = false, haveIp = false;
    for (;;) {
        std::string_view key, value;
        bool quoted = false;
        if (!jsonMember(s, key, value, quoted))
            return Seen::NotMine;
        if (key == "time" && quoted) {
            time = value;
            haveTime = true;
        } else if (key == "offset" && !quoted) {
            offset = value;
            haveOffset = true;
        } else if (key == "ip" && quoted) {
            ip = value;
            haveIp = true;
        } else if (key == "adjusted" && !quoted) {
            adjusted = value;
        }
        if (s.lit("}"))
            break;
        if (!s.lit(","))
            return Seen::NotMine;
    }
    LineShape number(offset);
    if (!s.atEnd() || !haveTime || !haveOffset || !haveIp || ip.empty() || !isJsonTime(time) ||
        !(number.number() && number.atEnd()) || (adjusted != "true" && adjusted != "false"))
        return Seen::NotMine;

    event.time = time;
    event.server = ip;
    event.offset = offset;
    bool announced = takeAnnouncedStep(memory, offset);
    event.kind = adjusted == "true" || announced ? "step" : "adjust";
    failedCorrection(memory, event);
    return Seen::Event;
}

}  // namespace

Seen recogniseNtpdig(std::string_view line, RecogniserMemory& memory, Event& event)
{
    if (startsWith(line, "CLOCK: ")) {
        LineShape s(line);
        size_t at = 0;
        if (s.lit("CLOCK: time stepped by ") && (at = s.pos(), s.number()) && s.atEnd()) {
            if (memory.announcedSteps.size() == kMaxAnnounced)
                memory.announcedSteps.erase(memory.announcedSteps.begin());
            memory.announcedSteps.emplace_back(unsigned_(s.since(at)));
        } else if (line.find("_systime: ") != std::string_view::npos) {
            memory.ntpdigFailed = true;  // "CLOCK: adj_systime: Operation not permitted"
        }
        return Seen::Chatter;
    }
    if (startsWith(line, "ntpdig: ")) {
        if (line == "ntpdig: no eligible servers")
            return Seen::Event;  // a failure: every part empty
        return Seen::Chatter;    // querying, lookup failures, dropped responses
    }
    // -d debug dumps; option errors of ntpdig and of the ntpdate wrapper.
    for (std::string_view chatter :
         {"org t1: ", "xmt t3: ", "rec-org t21: ", "option -", "Illegal option -", "ntpdate: -"}) {
        if (startsWith(line, chatter))
            return Seen::Chatter;
    }
    if (startsWith(line, "{\"time\":\""))
        return jsonLine(line, memory, event);
    return resultLine(line, memory, event);
}
