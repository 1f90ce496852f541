// The failure tally: how many wrong passwords each caller typed lately, so
// that guessing the password that grants root is bounded however many
// launchers a caller starts at once (pam_faillock's model and defaults).
//
// Each calling user has one file, named by the uid, in a directory only root
// can write (QMEMS_TALLY_DIR, /run/qmems: a reboot forgets the tally, as
// /run/faillock does). The file holds one line, "<failures> <last>\n": the
// wrong passwords in a row and the time of the last one, in seconds of
// CLOCK_BOOTTIME, each right-aligned in a field of fixed width, so that one
// write replaces the record whole. A launcher holds an exclusive flock on
// the file from the check to the record, so parallel launchers of one caller
// count together; other callers' files are never touched.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

constexpr int kTallyDeny = 3;              // wrong passwords that lock a caller out
constexpr long long kTallyUnlock = 600;    // seconds a lockout lasts after the last one
constexpr long long kTallyInterval = 900;  // failures further apart start a new count

struct Tally {
    int failures = 0;
    long long last = 0;
};

// Seconds the caller is still locked out at now; 0 when not locked. A last
// failure later than now (a tally from before a reboot) locks nobody.
long long lockedFor(const Tally& t, long long now);
// The tally after one more wrong password at now.
Tally afterFailure(Tally t, long long now);

// "<failures> <last>\n"; anything else reads as no failure.
Tally parseTally(std::string_view text);
std::string formatTally(const Tally& t);

// Seconds of CLOCK_BOOTTIME: it never goes back and counts suspended time.
long long tallyClock();

// One caller's tally file, locked while this object lives.
class TallyFile {
public:
    TallyFile() = default;
    ~TallyFile();
    TallyFile(const TallyFile&) = delete;
    TallyFile& operator=(const TallyFile&) = delete;

    // Opens (creating what is missing) and locks dir/<uid>. 0, or -1 with
    // why() naming the path and the reason: a directory that is not root's
    // alone, or a file that is not root's plain file, is never used.
    int open(const std::string& dir, uid_t uid);
    Tally read() const;
    int write(const Tally& t);
    // The caller typed the right password: no failure is remembered.
    int reset() { return write(Tally{}); }
    const std::string& why() const { return why_; }

private:
    int fail(const std::string& path, const char* reason);
    int fd_ = -1;
    std::string why_;
};
