// The one reader of the raw adjustment log. Constructing an analyzer claims
// the raw log (it is moved aside under a lock, so the job that fills it starts
// a new one) and takes it whole, mapped where that is safe; analyze() parses
// its lines, split where they lie, into records, and write() appends the
// noteworthy ones to the report.
// The claimed lines are dropped only after they reached their destination
// (deleteLogFile), or go back to the raw log when they did not (restoreLog).
#pragma once

#include "AdjustTimeInfo.h"
#include "Files.h"
#include "RawLogClaim.h"
#include "Text.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class AnalyzeLogFile {
public:
    explicit AnalyzeLogFile(const std::string& logPath);
    AnalyzeLogFile(const AnalyzeLogFile&) = delete;
    AnalyzeLogFile& operator=(const AnalyzeLogFile&) = delete;
    ~AnalyzeLogFile();

    // Appends one record per event the lines tell (LineParser); a rejected
    // line is reported and skipped. Returns -1 when any line was rejected,
    // else 0. The records view the claimed lines and the analyzer's arena:
    // they must not outlive the analyzer.
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
    bool readFailed() const { return readError; }

    // Parses one raw log line into info. Returns 0 when the line was
    // accepted and every field was written, -1 when it was rejected (info is
    // then untouched). This form asks the system for the host name itself.
    static int separateLog(const std::string& line, AdjustTimeInfo& info);
    // The same with the host name already known; hostOk false means the
    // host name query failed. Without an arena the record owns copies of
    // its texts; with one it views the line and host, and the fields it
    // makes are written to the arena.
    static int separateLog(std::string_view line, std::string_view host, bool hostOk,
                           AdjustTimeInfo& info, Arena* made = nullptr);
    // The same for a caller that has already sought the line's first
    // "ntpdate": ntpdateAt is where it stands, or npos.
    static int separateLogAt(std::string_view line, size_t ntpdateAt, std::string_view host,
                             bool hostOk, AdjustTimeInfo& info, Arena* made);

private:
    int readLog();
    // Parses every line: each record goes to out, or, without out, its
    // report line goes to report when it is noteworthy.
    int parseLines(std::vector<AdjustTimeInfo>* out, ByteBuffer* report) const;

    std::string logPath;
    RawLogClaim claim;
    FileText rawText;  // the whole claimed log; lines are split where they lie
    // What the records view besides rawText; parsing adds to them, so they
    // change under analyze(), which changes nothing a caller sees.
    mutable Arena made;
    mutable std::string host;
    mutable bool hostOk = false;
    mutable bool hostAsked = false;
    ByteBuffer reportLines;  // the report lines of every write() so far
    bool readError = false;
};

// The host name of this machine, whole; false when the query failed.
bool queryHostName(std::string& host);
