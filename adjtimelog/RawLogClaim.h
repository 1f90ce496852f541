// Claiming the raw adjustment log without losing a line.
//
// The raw log is filled by a job outside this program in /tmp, a directory
// that every user can write and that a reboot empties. A run keeps what it
// claimed in a state directory of its own that no other user can enter:
// root's on persistent storage (stateDirectory(), RunContext.h), another user's in
// /tmp beside the raw log. Nothing another user plants is trusted: the raw
// log is taken only as the rule of openGuarded (Files.h) allows, and
// nothing is ever written back to /tmp.
//
// A run claims the raw log by renaming it into a transit directory of its
// own beside it (a rename is atomic only within one file system, and /tmp
// is often a tmpfs of its own), so that whatever the job writes afterwards
// starts a new raw log; it copies the claimed lines to the end of the
// backlog in the state directory, syncs it and removes the landing. Lines
// longer than a bound are dropped on the way, and holes of a sparse file
// are skipped, so that no input costs more than a bounded amount of memory.
// The backlog is delivered in batches of whole lines, oldest first; each
// delivered batch is dropped from it, and lines that could not be delivered
// stay there for the next run.
//
// A writer that opened the raw log just before it was moved may still
// append to it. The raw log is read under a read lease, which the kernel
// grants only while nobody has it open for writing and which makes a writer
// that opens it meanwhile wait: no read ever sees half a write, and what a
// waiting writer appends is copied too before the landing goes.
//
// The state directory:
//   file            written by                      removed             a run that finds it
//   lock            every run takes it (flock)      never               waits for the run holding it
//   backlog.<id>    the drain appends claimed lines when all delivered  delivers it first, from consumed on
//   consumed        after each delivered batch      with the backlog    starts delivering there
//   drain           before a file is moved and      when its lines are  finishes that drain: the backlog
//                   copied ("<id> <size> <from>     in the backlog      is cut back to <size> and the
//                   <landing>", then "<length>                          landing, if still ours, copied
//                   <dev> <ino>" of the landing)                        again from <from>
//   report-note     the log action, before its      after the batch,    drops the batch if the report
//                   batch goes to the report        or by the next run  holds it (DeliveryNote.h)
//   sent            the database action, before     after the batch     sends that batch again under the
//                   a batch's first send            was settled         same identity, once it asked
//                                                                       whether the site has it
//   rows            the database action (RowFailures.h): rows refused run after run
//   dead-letters    the database action: rows set aside, for root to read
//   staging         a small file being replaced     by the rename       nothing: a leftover is a name
// and beside the raw log, for as long as a drain takes:
//   .adjtimelog-<uid>.<id>/raw   the claimed raw log, named in drain
//
// The claim prints nothing: a failure is described by error(), and the
// analyzer says it to the operator.
#pragma once

#include "ByteBuffer.h"
#include "Files.h"
#include "Status.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// The steps of a claim that can fail, each told the operator by the name of
// the analyzer's function it stands for (stepName).
enum class ClaimStep { Claim, Lock, ReadLog, DeleteLogFile, Write };
const char* stepName(ClaimStep step);

class RawLogClaim {
public:
    enum Result { Claimed, Nothing, Failed };

    struct Limits {
        int claimMs = 5000;             // for writers of the raw log before claiming it
        int releaseMs = 60000;          // for writers still appending to the landing
        size_t batchBytes = 16u << 20;  // the most one batch holds
        size_t lineBytes = 64u << 10;   // longer lines are dropped
    };

    RawLogClaim(std::string rawPath, std::string stateDir, Owners owners, const Limits& limits);
    RawLogClaim(const RawLogClaim&) = delete;
    RawLogClaim& operator=(const RawLogClaim&) = delete;

    // Takes the lock; settles the note of a killed log run; takes up lines
    // claimed by earlier versions and finishes a drain that a killed run
    // began; then claims the raw log. Claimed: lines wait in the backlog
    // (of earlier runs or this one). Nothing: no line waits. Failed:
    // error() says why; nothing is delivered, the backlog keeps what it has
    // and whatever was refused stands where it was.
    Result acquire();

    // The next batch: whole lines of the backlog not delivered yet, at most
    // batchBytes. Nothing when every line was delivered; Failed when the
    // backlog could not be read.
    Result nextBatch(FileText& text);

    // Before the batch is appended to the report: notes the report's
    // identity and size and the batch, so that a run killed after the batch
    // reached the report makes the next run drop the lines, not report them
    // again.
    int noteReportDelivery(const std::string& reportPath, const struct stat& reportBefore, std::string_view batch);

    // The batch reached its destination (delivered true): the backlog
    // drops it, and goes when nothing is left in it. Otherwise it stays,
    // first for the next run.
    int settle(bool delivered);

    // Lines dropped while claiming because they were longer than lineBytes.
    struct Dropped {
        size_t lines = 0;
        unsigned long long bytes = 0;
    };
    const Dropped& dropped() const { return dropped_; }
    size_t lineBytes() const { return limits_.lineBytes; }

    // What the operator should hear of that is no failure of the run: a
    // landing refused, lines lost with a vanished one.
    const std::vector<std::string>& notices() const { return notices_; }
    // Bytes of a claimed raw log that vanished before they were copied.
    long long lostBytes() const { return lostBytes_; }

    // Bytes of claimed lines not delivered yet.
    long long waitingBytes() const;
    // When the raw log this run claimed was last written; 0 when none was.
    time_t rawLogModified() const { return rawModified_; }

    // The identity of the current batch for its destination, made and
    // noted before its first send ("sent": "<identity> <backlog id> <from>
    // <to>"): a run killed, or cut off, before it heard whether the batch
    // went in finds the same batch under the same identity, and can ask
    // the destination. 0, or -1 when it could not be noted.
    int identifyBatch(std::string& identity);
    // The batch was sent by an earlier run that never heard the outcome.
    bool sentBefore() const { return !identity_.empty() && identityNoted_; }

    // The current batch, "<backlog id> <offset>", for what is kept about its
    // rows between runs.
    std::string batchId() const;
    const Status& error() const { return error_; }
    const std::string& stateDir() const { return dir_; }

private:
    struct Drain;
    int fail(ClaimStep step, const std::string& path, int err);
    int refuse(ClaimStep step, const std::string& path, const std::string& why);
    int checkStateDir();
    int lock();
    int findBacklog();
    std::string backlogPath() const;
    int openBacklog();
    int resolveNote();
    int takeUpEarlierCopies();
    int finishDrain();
    int claimRawLog();
    int startDrain(Drain& d, const std::string& landing, off_t from, const struct stat& source);
    Fd openLanding(Drain& d, std::string& refused);
    int runDrain(Drain& d, Fd& source, int quiet);
    void endDrain(const Drain& d);
    int copyLines(int source, off_t& at, bool last);
    int writeConsumed();

    std::string raw_;
    std::string dir_;
    Owners owners_;
    Limits limits_;
    std::string lockPath_, drainPath_, notePath_, consumedPath_, stagingPath_, sentPath_;
    std::string identity_;        // of the current batch; empty: none yet
    bool identityNoted_ = false;  // read from the note of an earlier run
    Fd lockFd_;
    std::string backlogId_;  // empty: no backlog
    Fd backlogFd_;           // open for appending and reading
    off_t consumed_ = 0;
    off_t batchFrom_ = 0, batchTo_ = 0;
    Dropped dropped_;
    time_t rawModified_ = 0;
    ByteBuffer pending_;  // the line being copied, until its line end
    ByteBuffer out_;      // copied lines not yet written to the backlog
    bool dropping_ = false;
    Status error_;
    std::vector<std::string> notices_;
    long long lostBytes_ = 0;
};
