// The recognisers of today's time tools, one per tool, used by LineParser.
//
// A recogniser looks at one whole line. When the line is not of its tool's
// shapes it says NotMine and the next one is asked. When it is, it says
// Chatter (the tool's start-up, debug or option lines, which tell no event)
// or Event, with the parts of the record as views into the line:
//   time    the line's own timestamp as printed (empty when it has none)
//   server  the server's address as printed (empty when it has none)
//   offset  the signed offset as printed (empty for a failure)
//   kind    "step" when the clock was stepped, "adjust" when it was slewed
//           or only queried, empty for a failure
//   pid     the tool's process id where the line shows one
// To support a further tool, add a recogniser here and to the list in
// LineParser.cpp, with the tool's real output in the tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class Seen { NotMine, Chatter, Event };

struct Event {
    std::string_view time;
    std::string_view server;
    std::string_view offset;
    std::string_view kind;
    std::string_view pid;
    // The texts live in the recogniser's memory, not in the line: they are
    // copied before the memory changes.
    bool held = false;
};

// What a recogniser keeps from one line for a later one.
struct RecogniserMemory {
    // Steps ntpdig announced ("CLOCK: time stepped by X") whose result line
    // has not come yet, oldest first, without a leading '+'. Two jobs may
    // write into one raw log at once, so a result takes the step of its own
    // value, not simply the last one.
    std::vector<std::string> announcedSteps;
    // The last clock event ntpd logged ("set +3.000080"), which the summary
    // line it prints on leaving repeats.
    std::string ntpdLogged;
    // The tool said it could not set or slew the clock ("CLOCK:
    // step_systime: Operation not permitted"): the correction it reports
    // next was not applied, and makes a failure.
    bool ntpdigFailed = false;
    bool ntpdFailed = false;
    // chronyd's step, held until its next line says whether it was made
    // ("Could not step system clock" follows one that was not), or the
    // batch ends.
    bool chronydHeld = false;
    std::string chronydTime, chronydOffset;
    std::string releasedTime, releasedOffset;  // the step let go last
    // A second event told by one line (a held step let go by a line that
    // tells an event of its own).
    bool extraHeld = false;
    Event extra;
};

Seen recogniseNtpdig(std::string_view line, RecogniserMemory& memory, Event& event);
Seen recogniseChronyd(std::string_view line, RecogniserMemory& memory, Event& event);
// chronyd's held step, let go as made (the batch ended after it).
Event chronydHeldStep(RecogniserMemory& memory);
Seen recogniseNtpd(std::string_view line, RecogniserMemory& memory, Event& event);
