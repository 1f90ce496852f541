// The adjustment report: which records belong in it, and the line each
// record makes there.
#pragma once

#include "AdjustTimeInfo.h"
#include "ByteBuffer.h"

#include <string_view>

// The integer part of an offset as atoi would read it is 0. An integer part
// too large for any integer type is not 0.
bool integerPartIsZero(std::string_view offset);

// True when the record belongs in the report: an offset of a second or more
// either way, or a stepped clock.
bool isNoteworthy(const AdjustTimeInfo& info);

// Appends the report line of info, whole and with its line end; control
// bytes of its fields are escaped (Escape.h).
void appendReportLine(ByteBuffer& out, const AdjustTimeInfo& info);
