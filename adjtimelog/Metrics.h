// The node's clock keeping as metrics, for node_exporter's textfile
// collector: after every run of either action (also one with nothing to do,
// or one that failed) the file adjtimelog.prom is written anew, atomically,
// in the directory given with -m, in the Prometheus text format. What must
// outlive a run (the counters since install, the last offset seen, the time
// of the last delivery, when the time job last wrote) is kept in the state
// directory, in the file "metrics", one "name value" line each.
#pragma once

#include "AdjustTimeInfo.h"
#include "Status.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <sys/types.h>

// What one run did.
struct RunOutcome {
    std::string action;  // "log" or "database"
    bool success = false;
    time_t now = 0;
    uid_t user = 0;  // the run's user, whose directory the metrics may be in
    // Records that reached their destination, by kind: "step", "adjust", "failure".
    std::map<std::string, uint64_t> delivered;
    // The last record with an offset that the run saw (delivered or not).
    std::string lastOffset, lastServer;
    long long backlogBytes = 0;  // claimed lines still waiting
    long long deadLetters = 0;   // rows set aside, ever
    time_t rawLogModified = 0;   // when the raw log claimed was last written; 0: none claimed
    long long lostBytes = 0;     // bytes of a claimed raw log that vanished before they were copied
};

// The kind of a record, from its pid: "step", "adjust", or "failure".
std::string kindOf(const AdjustTimeInfo& info);

// A correction of 128 ms or more is a step, whatever the tool called it
// (chronyd -q says "step" of two microseconds). Counted under this kind too.
bool isLargeCorrection(const AdjustTimeInfo& info);
constexpr const char* kLargeCorrection = "large";

// What a run delivered and saw, for the metrics: it watches the batch loop
// (AnalyzeLogFile::deliverBatches), told each record as a batch is parsed
// and each batch as it settles.
class RunTally {
public:
    // The current batch is parsed (again): its counts start afresh.
    void batchStarts() { batch_ = Counts{}; }
    void saw(const AdjustTimeInfo& info);
    // A record of the batch that will not reach its destination with it.
    void leftOut(const AdjustTimeInfo& info);
    // The batch reached its destination (its counts are delivered) or not.
    void settled(bool delivered);

    // Records delivered, by kind (kindOf; kLargeCorrection besides).
    std::map<std::string, uint64_t> delivered() const;
    // The last offset seen, delivered or not, and its server.
    const std::string& lastOffset() const { return lastOffset_; }
    const std::string& lastServer() const { return lastServer_; }

private:
    // Each record's kind is decoded once: the usual kinds are counted in
    // place, anything else a line may call itself by name.
    enum Known { Adjust, Failure, Step, Large, kKnown };
    struct Counts {
        uint64_t known[kKnown] = {};
        std::map<std::string, uint64_t> other;
    };
    void count(const AdjustTimeInfo& info, int by);
    Counts batch_, delivered_;
    std::string lastOffset_, lastServer_;
};

// Adds the facts of the run to the state kept in stateDir and writes the
// metrics file into dir (refused in a directory another user could swap
// it in).
Status writeMetrics(const std::string& stateDir, const std::string& dir, const RunOutcome& facts);

// The text of the metrics file for the kept state (the "metrics" file's
// lines as a map), as written; for the tests.
std::string exposition(const std::map<std::string, std::string>& kept);
