// The adjustment report: which records belong in it, the line each record
// makes there, and the appending of a batch's lines to it.
#pragma once

#include "AdjustTimeInfo.h"
#include "ByteBuffer.h"
#include "Files.h"
#include "Status.h"

#include <string>
#include <string_view>
#include <sys/stat.h>

// The integer part of an offset as atoi would read it is 0. An integer part
// too large for any integer type is not 0.
bool integerPartIsZero(std::string_view offset);

// True when the record belongs in the report: an offset of a second or more
// either way, or a stepped clock.
bool isNoteworthy(const AdjustTimeInfo& info);

// Appends the report line of info, whole and with its line end; control
// bytes of its fields are escaped (Escape.h).
void appendReportLine(ByteBuffer& out, const AdjustTimeInfo& info);

// The report, open for appending one batch's lines. It is opened by the
// rule of openInDirectory (Files.h): where other users can write, nothing
// of theirs is written through. Lines are on disk when append() returns 0;
// a failed append cuts the report back to where it stood, so that the
// batch, which stays in the backlog, is reported whole by the next run.
class ReportFile {
public:
    // Opened for self, the run's user; a failure says errno or the open
    // rule's words.
    Status open(const std::string& path, uid_t self);
    // The report before this batch; regular() false for a device or FIFO
    // the operator chose, which is neither synced nor cut back.
    const struct stat& before() const { return before_; }
    bool regular() const { return regular_; }
    Status append(std::string_view lines);
    Status close();

private:
    std::string path_;
    Fd fd_;
    struct stat before_ {};
    bool regular_ = false;
};
