// The line parser: turns one line of the raw log into a record.
//
// The raw log holds whatever the node's time tool printed: classic ntpdate,
// or one of today's tools (NTPsec's ntpdig, also run as ntpdate and sntp;
// chronyd -q and -Q; NTPsec's ntpd -q). Each of today's tools has a small
// recogniser (Recognise*.cpp) that takes the whole shape of a line and turns
// an event into the record classic ntpdate would have written for it. A line
// that contains "ntpdate[" or that no recogniser knows goes to the classic
// parser (ClassicLine.h).
//
// The parser does no I/O: it is given what the run knows (RunFacts) and
// gives back, besides the record, the notes a line earned (notes()).
//
// A parser lives for one pass over the raw log: some events take two lines
// (ntpdig announces a step before its result; ntpd logs an event and then
// repeats it in its summary; chronyd says a step failed after announcing
// it), so it remembers what such a line said. A line may then tell a second
// record (next()), and the last one may be told only at the end (finish()).
#pragma once

#include "AdjustTimeInfo.h"
#include "Recognisers.h"
#include "RunFacts.h"
#include "Text.h"

#include <string_view>

enum class LineResult {
    Record,    // info holds the record of the line
    NoRecord,  // a known tool's line that tells no event of its own
    Rejected,  // refused; notes() say why
};

class LineParser {
public:
    // A run without a host name (run.hostOk false) rejects every line that
    // would make a record. With an arena, records view the line and the
    // run's texts and the fields made for them go to the arena; without one
    // they own their texts.
    explicit LineParser(const RunFacts& run, Arena* made = nullptr) : run_(run), made_(made) {}

    LineResult parse(std::string_view line, AdjustTimeInfo& info);
    // A further record the line just parsed tells; false when none.
    bool next(AdjustTimeInfo& info);
    // A record held back for a line that did not come; false when none.
    bool finish(AdjustTimeInfo& info);

    // What the last call of parse, next or finish earned to be told.
    const Notes& notes() const { return notes_; }

private:
    bool record(const Event& event, AdjustTimeInfo& info);
    RunFacts run_;
    Arena* made_;
    RecogniserMemory memory_;
    Notes notes_;
};
