// The one reader of the raw adjustment log. Constructing an analyzer claims
// the raw log (it is moved aside under a lock, so the job that fills it starts
// a new one), reads it whole and splits it into lines; analyze() parses the
// lines into records and write() appends the noteworthy ones to the report.
// The claimed lines are dropped only after they reached their destination
// (deleteLogFile), or go back to the raw log when they did not (restoreLog).
#pragma once

#include "AdjustTimeInfo.h"
#include "RawLogClaim.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// True when path names a regular file; symbolic links are followed.
bool isFile(const std::string& path);

class AnalyzeLogFile {
public:
    explicit AnalyzeLogFile(const std::string& logPath);
    AnalyzeLogFile(const AnalyzeLogFile&) = delete;
    AnalyzeLogFile& operator=(const AnalyzeLogFile&) = delete;
    ~AnalyzeLogFile();

    // Appends one record per event the lines tell (LineParser); a rejected
    // line is reported and skipped. Returns -1 when any line was rejected,
    // else 0.
    int analyze(std::vector<AdjustTimeInfo>& out) const;

    // Appends the noteworthy records to the report, then drops the claimed
    // lines. Returns -1 (and puts the lines back) when the report could not
    // be written or the raw log could not be read, else 0.
    int write(const std::string& reportPath);

    // The one way both actions settle the claim: the lines reached their
    // destination (delivered true) or go back for the next run.
    int settle(bool delivered);
    // The claimed lines reached their destination: remove the claimed copy.
    int deleteLogFile();
    // They did not: hand them back to the raw log for the next run.
    int restoreLog();

    // True when the raw log was claimed but could not be read or locked:
    // nothing of it was analysed and it is kept for the next run.
    bool readFailed() const { return readFailed_; }

    // Parses one raw log line into info. Returns 0 when the line was
    // accepted and every field was written, -1 when it was rejected (info is
    // then untouched). This form asks the system for the host name itself.
    static int separateLog(const std::string& line, AdjustTimeInfo& info);
    // The same with the host name already known; hostOk false means the
    // host name query failed.
    static int separateLog(std::string_view line, std::string_view host, bool hostOk,
                           AdjustTimeInfo& info);

    int32_t readCountForTest() const { return readCount; }
    int32_t lineCountForTest() const { return lineCount; }
    const std::vector<std::string_view>& rawLinesForTest() const { return rawLines; }

private:
    int readLog();

    int32_t readCount = 0;  // reads of the raw log, counted as a line reader would
    int32_t lineCount = 0;  // lines to parse; a final line without line end counts
    std::string logPath;
    RawLogClaim claim;
    ByteBuffer rawText;                      // the whole claimed log
    std::vector<std::string_view> rawLines;  // views into rawText
    std::vector<AdjustTimeInfo> records;
    bool readFailed_ = false;
};

// The integer part of an offset as atoi would read it is 0. An integer part
// too large for any integer type is not 0.
bool integerPartIsZero(std::string_view offset);

// True when the record belongs in the report: an offset of a second or more
// either way, or a stepped clock.
bool isNoteworthy(const AdjustTimeInfo& info);

// Appends the report line of info, whole and with its line end.
void appendReportLine(std::string& out, const AdjustTimeInfo& info);

// The host name of this machine, whole; false when the query failed.
bool queryHostName(std::string& host);
