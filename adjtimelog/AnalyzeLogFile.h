// The one reader of the raw adjustment log. Constructing an analyzer claims
// the raw log (its lines move to the backlog in the run's state directory
// under a lock, so the job that fills it starts a new one) and takes the
// first batch of the backlog, mapped; analyze() parses its lines, split
// where they lie, into records. deliverBatches() is the one batch loop of
// both actions: each batch goes to a sink (write(): the report; the
// database manager: the site database) and is settled: dropped from the
// backlog once it reached its destination (deleteLogFile), otherwise kept
// there for the next run (restoreLog), which delivers it before anything
// newer. The run's tally (Metrics.h) watches the loop for the metrics.
#pragma once

#include "AdjustTimeInfo.h"
#include "Files.h"
#include "Metrics.h"
#include "RawLogClaim.h"
#include "RunContext.h"
#include "RunFacts.h"
#include "Text.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class AnalyzeLogFile {
public:
    // A run on logPath as this process finds it (observeRun).
    explicit AnalyzeLogFile(const std::string& logPath);
    // A run in the given context: its raw log, state directory, owners,
    // host name and time.
    explicit AnalyzeLogFile(const RunContext& run, const RawLogClaim::Limits& limits = {});
    AnalyzeLogFile(const AnalyzeLogFile&) = delete;
    AnalyzeLogFile& operator=(const AnalyzeLogFile&) = delete;
    ~AnalyzeLogFile();

    // Appends one record per event the lines tell (LineParser); a rejected
    // line is reported and skipped. Returns -1 when any line was rejected,
    // else 0. The records view the claimed lines and the analyzer's arena:
    // they must not outlive the batch. With lines, the line each record
    // came from (the second of an event told in two) is appended to it.
    int analyze(std::vector<AdjustTimeInfo>& out, std::vector<std::string_view>* lines = nullptr);

    // Where a run's batches go: deliver sends the current batch (0 when it
    // reached its destination); release lets go of whatever views it,
    // before the next batch takes its place.
    struct Sink {
        std::function<int()> deliver;
        std::function<void()> release = [] {};
    };
    // The batch loop: the current batch goes to the sink and is settled,
    // then the next, oldest first, until none is left or one was not
    // delivered (it stays, first for the next run). 0 when every batch
    // went, -1 otherwise (also when the raw log could not be claimed).
    int deliverBatches(const Sink& sink);

    // Appends the noteworthy records of every batch to the report, each
    // batch synced before the backlog drops it. Returns -1 when the report
    // could not be written (the batches not written stay in the backlog) or
    // the raw log could not be claimed, else 0.
    int write(const std::string& reportPath);

    // The current batch, for what is kept about its rows between runs.
    std::string batchId() const { return claim.batchId(); }
    // The current batch's identity at its destination, noted before its
    // first send; whether an earlier run sent it without hearing the outcome.
    int identifyBatch(std::string& identity) { return claim.identifyBatch(identity); }
    bool batchSentBefore() const { return claim.sentBefore(); }
    const std::string& stateDir() const { return claim.stateDir(); }
    const RunContext& run() const { return run_; }

    // The batch reached its destination: the backlog drops it.
    int deleteLogFile();
    // It did not: it stays in the backlog, first for the next run.
    int restoreLog();

    // What this run delivered and saw, for the metrics.
    const RunTally& tally() const { return tally_; }
    long long waitingBytes() const { return claim.waitingBytes(); }
    time_t rawLogModified() const { return claim.rawLogModified(); }
    long long lostBytes() const { return claim.lostBytes(); }
    // A record of the batch that will not reach its destination with it
    // (the database set it aside).
    void leftOut(const AdjustTimeInfo& info) { tally_.leftOut(info); }

    // True when the raw log could not be claimed or read (or was refused):
    // nothing was analysed, and what waits is kept for the next run.
    bool readFailed() const { return readError; }

    // Parses one raw log line into info, as a classic ntpdate line
    // (ClassicLine.h), and prints what the line earned. Returns 0 when the
    // line was accepted and every field was written, -1 when it was
    // rejected (info is then untouched); the record owns its texts. This
    // form observes the host name and the time itself.
    static int separateLog(const std::string& line, AdjustTimeInfo& info);
    // The same with the host name (hostOk false: its query failed) and the
    // time of a line without one given.
    static int separateLog(std::string_view line, std::string_view host, bool hostOk, time_t now, AdjustTimeInfo& info);

    // When this run started, the time of what it stores.
    time_t runTime() const { return run_.now; }

private:
    int readLog();
    // The next batch of the backlog in place of the current one (whose
    // records must be gone); false when none is left.
    bool nextBatch();
    // Parses every line of the batch: each record goes to out (and its line
    // to lines), or, without out, its report line goes to report when it is
    // noteworthy.
    int parseLines(std::vector<AdjustTimeInfo>* out, std::vector<std::string_view>* lines, ByteBuffer* report);
    // Appends one batch's report lines to the report and syncs it.
    int appendToReport(const std::string& reportPath, std::string_view lines);

    const RunContext run_;
    const std::string runTimeText;  // the run's local time, for lines without one
    const RunFacts facts;           // views run_ and runTimeText
    RawLogClaim claim;
    FileText rawText;  // the current batch; lines are split where they lie
    Arena made;        // what the records view besides rawText
    RunTally tally_;
    bool readError = false;
};
