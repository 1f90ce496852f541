// Claiming the raw adjustment log without losing a line.
//
// The raw log is filled by a job outside this program, in a directory that
// every user can write (/tmp). A run claims it by renaming it into a
// directory of its own beside it (/tmp/.adjtimelog-<uid>/claimed), so
// whatever the job writes afterwards starts a new raw log for the next run.
// The claimed copy is removed only when its lines reached their destination;
// otherwise it is handed back, ahead of what the job wrote since. A copy left
// behind by a killed run is taken up first by the next run. A lock in the
// private directory keeps two runs from claiming at once.
//
// Only files in the private directory are trusted: it is created 0700 and
// checked on every run, so nothing another user plants in /tmp is ever
// read as ours. The raw log itself may be a link, which is moved as a link
// and read through, never written.
//
// A writer that opened the raw log just before it was claimed may still
// append to the claimed copy. Every read is made under a read lease, which
// the kernel grants only while nobody has the file open for writing and
// which makes a writer that opens it meanwhile wait: no read ever sees half
// a write. What such a writer appends after the read is handed back when the
// claim is released.
//
// The claim prints nothing: a failure is described by error(), and the
// analyzer says it to the operator.
#pragma once

#include "ByteBuffer.h"
#include "Files.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

// What failed: the step ("claim", "lock", "readLog", "restoreLog",
// "deleteLogFile", "write"), the path it was done to, and errno, or a text
// of its own where no errno says it.
struct ClaimError {
    std::string step;
    std::string path;
    int err = 0;
    std::string why;
};

class RawLogClaim {
public:
    enum Result { Claimed, Nothing, Failed };

    struct Waits {
        int claimMs = 5000;     // for writers of the raw log before claiming it
        int releaseMs = 60000;  // for writers of the claimed copy before removing it
    };

    explicit RawLogClaim(std::string rawPath) : RawLogClaim(std::move(rawPath), Waits{}) {}
    RawLogClaim(std::string rawPath, Waits waits);
    RawLogClaim(const RawLogClaim&) = delete;
    RawLogClaim& operator=(const RawLogClaim&) = delete;

    // Takes the lock, then claims the lines: a copy left by an earlier run,
    // else the raw log. Claimed: text holds the lines. Nothing: no raw log,
    // or nothing in it. Failed: error() says why; whatever was claimed is
    // still held and must be put back (held()).
    Result acquire(FileText& text);

    // Before the lines are written to the report: notes the report's
    // identity and size and the batch, so that a run killed after the batch
    // reached the report makes the next run drop the lines, not report them
    // again.
    int noteReportDelivery(const std::string& reportPath, const struct stat& reportBefore,
                           std::string_view batch);

    // The lines were delivered: remove the claimed copy. Lines the job
    // appended to it after it was read are handed back.
    int release();

    // The lines were not delivered: return them to the raw log, ahead of
    // anything written since, atomically.
    int putBack();

    bool held() const { return held_; }
    const ClaimError& error() const { return error_; }
    const std::string& privateDir() const { return dir_; }

private:
    int fail(const char* step, const std::string& path, int err);
    int checkPrivateDir();
    int lock();
    void settleDeliveryNote();
    void takeUpLegacyCopies();
    int takeUpMerging();
    int mergeIntoClaimed(int mergingFd);
    int replaceClaimedWith(std::string_view text, int likeFd);
    void dropNote();

    std::string raw_;
    Waits waits_;
    std::string dir_;      // the run's own directory
    std::string claimed_;  // lines of the current claim
    std::string merging_;  // newer raw lines being merged behind the claim
    std::string staging_;  // a file being written, renamed into place when whole
    std::string note_;     // what a delivery to the report looks like
    std::string lock_;
    Fd lockFd_;
    Fd claimFd_;
    off_t readSize_ = 0;
    bool held_ = false;
    ClaimError error_;
};
