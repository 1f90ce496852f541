// Claiming the raw adjustment log without losing a line.
//
// The raw log is filled by a job outside this program, in a directory that
// every user can write (/tmp). A run claims it by renaming it to a name
// beside it ("<raw>.claimed"), so whatever the job appends afterwards starts
// a new raw log for the next run. The claimed copy is removed only when its
// lines reached their destination; otherwise it is handed back, ahead of what
// the job wrote since. A copy left behind by a killed run is taken up first
// by the next run. A lock beside the raw log ("<raw>.lock") keeps two runs
// from claiming at once. Every file created here is created exclusively and
// opened without following symbolic links; the raw log itself may be a link,
// which is moved as a link and read through, never written.
#pragma once

#include "ByteBuffer.h"

#include <string>
#include <string_view>
#include <sys/types.h>

class RawLogClaim {
public:
    enum Result { Claimed, Nothing, Failed };

    explicit RawLogClaim(std::string rawPath);
    RawLogClaim(const RawLogClaim&) = delete;
    RawLogClaim& operator=(const RawLogClaim&) = delete;
    ~RawLogClaim();

    // Takes the lock, then claims the lines: a copy left by an earlier run,
    // else the raw log. Claimed: text holds the lines. Nothing: no raw log,
    // or an empty one, which stays where it is. Failed: a diagnostic was
    // printed; whatever was claimed is still held and must be put back.
    Result acquire(ByteBuffer& text);

    // The lines were delivered: remove the claimed copy. Lines the job
    // appended to the claimed copy after it was read are handed back.
    int release();

    // The lines were not delivered: return them to the raw log, ahead of
    // anything written since, atomically.
    int putBack();

    // The system error of the last failure, for diagnostics.
    int lastErrno() const { return errno_; }

private:
    int lock();
    int takeUpLeftovers();
    int mergeIntoClaimed();
    int replaceClaimedWith(std::string_view text, const std::string& likePath);

    std::string raw_;
    std::string claimed_;  // lines of the current claim
    std::string merging_;  // newer raw lines being merged behind the claim
    std::string staging_;  // a file being written, renamed into place when whole
    std::string lock_;
    int lockFd_ = -1;
    int claimFd_ = -1;
    off_t readSize_ = 0;
    bool held_ = false;
    int errno_ = 0;
};

// Appends the whole file at path to out, once nobody has it open for
// writing. follow false: a symbolic link at path is refused. Only regular
// files are read. Returns 0, or -1 with errno.
int readWholeFile(const std::string& path, bool follow, ByteBuffer& out);
