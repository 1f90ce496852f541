// The classic parser: cuts one classic ntpdate output line into the five
// fields by plain substring searches. Numbers are never interpreted; every
// field keeps the bytes of the line. A marker standing at the very start or
// end of the working text gives an empty field rather than a read outside
// the text.
#pragma once

#include "AdjustTimeInfo.h"
#include "RunFacts.h"
#include "Text.h"

#include <string_view>

// ntpdateAt is where the line's first "ntpdate" stands, or npos. Returns 0
// when the line was accepted and every field of info was written, -1 when
// it was rejected (info is then untouched); why goes to notes. Without an
// arena the record owns copies of its texts; with one it views the line
// and the run's texts, and the fields it makes are written to the arena.
int parseClassicLine(std::string_view line, size_t ntpdateAt, const RunFacts& run, AdjustTimeInfo& info, Arena* made,
                     Notes& notes);
