// The line parser: turns one line of the raw log into a record.
//
// The raw log holds whatever the node's time tool printed: classic ntpdate,
// or one of today's tools (NTPsec's ntpdig, also run as ntpdate and sntp;
// chronyd -q and -Q; NTPsec's ntpd -q). Each of today's tools has a small
// recogniser (Recognise*.cpp) that takes the whole shape of a line and turns
// an event into the record classic ntpdate would have written for it. A line
// that contains "ntpdate[" or that no recogniser knows goes to the classic
// parser, AnalyzeLogFile::separateLog, which cuts it as it always has.
//
// A parser lives for one pass over the raw log: some events take two lines
// (ntpdig announces a step before its result; ntpd logs an event and then
// repeats it in its summary; chronyd says a step failed after announcing
// it), so it remembers what such a line said. A line may then tell a second
// record (next()), and the last one may be told only at the end (finish()).
#pragma once

#include "AdjustTimeInfo.h"
#include "Recognisers.h"
#include "Text.h"

#include <string_view>

enum class LineResult {
    Record,    // info holds the record of the line
    NoRecord,  // a known tool's line that tells no event of its own
    Rejected,  // the classic parser refused the line and said why
};

class LineParser {
public:
    // host: this machine's name; hostOk false when the query failed, which
    // rejects every line that would make a record. With an arena, records
    // view the line and host and the fields made for them go to the arena;
    // without one they own their texts.
    LineParser(std::string_view host, bool hostOk, Arena* made = nullptr)
        : host_(host), hostOk_(hostOk), made_(made)
    {
    }

    LineResult parse(std::string_view line, AdjustTimeInfo& info);
    // A further record the line just parsed tells; false when none.
    bool next(AdjustTimeInfo& info);
    // A record held back for a line that did not come; false when none.
    bool finish(AdjustTimeInfo& info);

private:
    bool record(const Event& event, AdjustTimeInfo& info);
    std::string_view host_;
    bool hostOk_;
    Arena* made_;
    RecogniserMemory memory_;
};
