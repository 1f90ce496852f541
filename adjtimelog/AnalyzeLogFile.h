// The one reader of the raw adjustment log. Constructing an analyzer claims
// the raw log (its lines move to the backlog in the run's state directory
// under a lock, so the job that fills it starts a new one) and takes the
// first batch of the backlog, mapped; analyze() parses its lines, split
// where they lie, into records, and write() appends the noteworthy ones of
// every batch to the report. A batch is dropped from the backlog only after
// it reached its destination (deleteLogFile); otherwise it stays there for
// the next run (restoreLog), which delivers it before anything newer.
#pragma once

#include "AdjustTimeInfo.h"
#include "Files.h"
#include "RawLogClaim.h"
#include "RunFacts.h"
#include "Text.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class AnalyzeLogFile {
public:
    // State in stateDirectory(logPath); the raw log may also belong to the
    // build's time job user.
    explicit AnalyzeLogFile(const std::string& logPath);
    AnalyzeLogFile(const std::string& logPath, const std::string& stateDir, const Owners& owners,
                   const RawLogClaim::Limits& limits);
    AnalyzeLogFile(const AnalyzeLogFile&) = delete;
    AnalyzeLogFile& operator=(const AnalyzeLogFile&) = delete;
    ~AnalyzeLogFile();

    // Appends one record per event the lines tell (LineParser); a rejected
    // line is reported and skipped. Returns -1 when any line was rejected,
    // else 0. The records view the claimed lines and the analyzer's arena:
    // they must not outlive the analyzer.
    int analyze(std::vector<AdjustTimeInfo>& out) const;
    // The same, with the line each record came from (the second of an event
    // told in two) appended to lines.
    int analyze(std::vector<AdjustTimeInfo>& out, std::vector<std::string_view>* lines) const;

    // Appends the noteworthy records of every batch to the report, each
    // batch synced before the backlog drops it. Returns -1 when the report
    // could not be written (the batches not written stay in the backlog) or
    // the raw log could not be claimed, else 0.
    int write(const std::string& reportPath);

    // The next batch of the backlog, for the database action, in place of
    // the current one (whose records must be gone); false when none is left.
    bool nextBatch();
    // The current batch, for what is kept about its rows between runs.
    std::string batchId() const { return claim.batchId(); }
    // The current batch's identity at its destination, noted before its
    // first send; whether an earlier run sent it without hearing the outcome.
    int identifyBatch(std::string& identity) { return claim.identifyBatch(identity); }
    bool batchSentBefore() const { return claim.sentBefore(); }
    const std::string& stateDir() const { return claim.stateDir(); }

    // The one way both actions settle a batch: it reached its destination
    // (delivered true) or stays for the next run.
    int settle(bool delivered);
    // The batch reached its destination: the backlog drops it.
    int deleteLogFile();
    // It did not: it stays in the backlog, first for the next run.
    int restoreLog();

    // What this run delivered and saw, for the metrics: records by kind
    // (Metrics.h's kindOf) of the batches that reached their destination,
    // the last offset seen and its server, the lines still waiting, when
    // the raw log claimed was last written.
    const std::map<std::string, uint64_t>& deliveredKinds() const { return kindsDelivered; }
    const std::string& lastOffset() const { return lastOffsetSeen; }
    const std::string& lastServer() const { return lastServerSeen; }
    long long waitingBytes() const { return claim.waitingBytes(); }
    time_t rawLogModified() const { return claim.rawLogModified(); }
    long long lostBytes() const { return claim.lostBytes(); }
    // A record of the batch that will not reach its destination with it
    // (the database set it aside).
    void leftOut(const AdjustTimeInfo& info);

    // True when the raw log could not be claimed or read (or was refused):
    // nothing was analysed, and what waits is kept for the next run.
    bool readFailed() const { return readError; }

    // Parses one raw log line into info, as a classic ntpdate line
    // (ClassicLine.h), and prints what the line earned. Returns 0 when the
    // line was accepted and every field was written, -1 when it was
    // rejected (info is then untouched); the record owns its texts. This
    // form asks the system for the host name itself.
    static int separateLog(const std::string& line, AdjustTimeInfo& info);
    // The same with the host name already known; hostOk false means the
    // host name query failed.
    static int separateLog(std::string_view line, std::string_view host, bool hostOk, AdjustTimeInfo& info);

    // When this run started, the time of what it stores.
    time_t runTime() const { return runStarted; }

private:
    int readLog();
    // Parses every line of the batch: each record goes to out (and its line
    // to lines), or, without out, its report line goes to report when it is
    // noteworthy.
    int parseLines(std::vector<AdjustTimeInfo>* out, std::vector<std::string_view>* lines,
                   ByteBuffer* report) const;
    // Appends one batch's report lines to the report and syncs it.
    int appendToReport(const std::string& reportPath, std::string_view lines);

    std::string logPath;
    RawLogClaim claim;
    FileText rawText;  // the current batch; lines are split where they lie
    // What the records view besides rawText; parsing adds to them, so they
    // change under analyze(), which changes nothing a caller sees.
    mutable Arena made;
    // What the run knows once, asked for at its first parse.
    time_t runStarted;
    mutable std::string host, runTimeText;
    mutable RunFacts facts;
    mutable bool factsKnown = false;
    mutable std::map<std::string, uint64_t> batchKinds;  // of the batch's last parse
    std::map<std::string, uint64_t> kindsDelivered;
    mutable std::string lastOffsetSeen, lastServerSeen;
    bool readError = false;
};

// The users whose raw log a run takes: its own, and the time job's user
// that the build names (ADJTIMELOG_JOB_USER), if that user exists.
Owners rawLogOwners();

// The host name of this machine, whole; false when the query failed.
bool queryHostName(std::string& host);
