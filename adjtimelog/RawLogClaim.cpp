#include "RawLogClaim.h"
#include "BuildSettings.h"
#include "DeliveryNote.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

enum Quiet { Leased, NoLease, Busy };

// Waits up to waitMs until nobody has fd's file open for writing and then
// holds a read lease on it: a writer that opens it now waits until the lease
// is dropped. NoLease: leases are not to be had (a file system without
// them); reads may then see a write half done.
Quiet holdQuiet(int fd, int waitMs)
{
    for (int waited = 0;; waited += 10) {
        if (sys.fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
            return Leased;
        if (errno != EAGAIN)
            return NoLease;
        if (waited >= waitMs)
            return Busy;
        usleep(10000);
    }
}

void dropLease(int fd, int q)
{
    if (q == Leased)
        sys.fcntl(fd, F_SETLEASE, F_UNLCK);
}

// A writer is blocked opening the file we hold a lease on: it resolved the
// file's name before we moved or removed it, and appends once the lease is
// dropped.
bool writerWaiting(int fd, int q)
{
    return q == Leased && sys.fcntl(fd, F_GETLEASE, 0) == F_UNLCK;
}


const char kBacklogPrefix[] = "backlog.";

bool pathIsDirectory(const std::string& path)
{
    struct stat st;
    return sys.lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string stateDirectory(const std::string& rawPath)
{
    // systemd's StateDirectory=: colon-separated when a unit has several.
    if (const char* given = getenv("STATE_DIRECTORY"); given && given[0] == '/') {
        std::string all = given;
        std::string first = all.substr(0, all.find(':'));
        for (size_t at = 0; at <= all.size();) {
            size_t end = all.find(':', at);
            std::string one = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (baseName(one) == "adjtimelog")
                return one;
            at = end == std::string::npos ? all.size() + 1 : end + 1;
        }
        return first;
    }
    if (geteuid() == 0)
        return ADJTIMELOG_STATE_DIR;
    return directoryOf(rawPath) + "/.adjtimelog-" + std::to_string(geteuid());
}

// A drain in progress: the lines of the landing from offset from go to the
// end of the backlog, which held backlogSize bytes before it began. The
// landing held length bytes then, and was the file dev:ino; a landing in a
// transit directory is reached and removed through dir, the directory's
// handle, never by its path again.
struct RawLogClaim::Drain {
    std::string landing;
    off_t from = 0;
    off_t backlogSize = 0;
    long long length = -1;  // -1: not noted (a note of an earlier version)
    unsigned long long dev = 0, ino = 0;
    Fd dir;
};

RawLogClaim::RawLogClaim(std::string rawPath, std::string stateDir, Owners owners, const Limits& limits)
    : raw_(std::move(rawPath)), dir_(std::move(stateDir)), owners_(owners), limits_(limits)
{
    if (limits_.batchBytes <= limits_.lineBytes)
        limits_.batchBytes = limits_.lineBytes + 1;  // a batch always ends in a line end
    lockPath_ = dir_ + "/lock";
    drainPath_ = dir_ + "/drain";
    notePath_ = dir_ + "/report-note";
    consumedPath_ = dir_ + "/consumed";
    stagingPath_ = dir_ + "/staging";
    sentPath_ = dir_ + "/sent";
}

const char* stepName(ClaimStep step)
{
    switch (step) {
    case ClaimStep::Claim:
        return "claim";
    case ClaimStep::Lock:
        return "lock";
    case ClaimStep::ReadLog:
        return "readLog";
    case ClaimStep::DeleteLogFile:
        return "deleteLogFile";
    case ClaimStep::Write:
        return "write";
    }
    return "claim";
}

int RawLogClaim::fail(ClaimStep step, const std::string& path, int err)
{
    error_ = ClaimError{step, path, err, {}};
    return -1;
}

int RawLogClaim::refuse(ClaimStep step, const std::string& path, const std::string& why)
{
    error_ = ClaimError{step, path, 0, why};
    return -1;
}

// The run's own directory: made when missing, made private again when it is
// ours and someone opened it up; anything else is refused, since another
// user could then plant or swap the files in it.
int RawLogClaim::checkStateDir()
{
    struct stat st;
    if (sys.lstat(dir_.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return fail(ClaimStep::Claim, dir_, errno);
        // A fresh node, or a prefix of its own: the directories on the way
        // are made too.
        std::string why;
        if (sys.mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST &&
            (errno != ENOENT || makeDirectories(dir_, 0700, why) != 0))
            return why.empty() ? fail(ClaimStep::Claim, dir_, errno) : refuse(ClaimStep::Claim, dir_, why);
        if (sys.lstat(dir_.c_str(), &st) != 0)
            return fail(ClaimStep::Claim, dir_, errno);
    }
    if (S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) != 0 &&
        chmod(dir_.c_str(), 0700) == 0)
        st.st_mode = (st.st_mode & ~07777u) | 0700;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0)
        return refuse(ClaimStep::Claim, dir_,
                      "not a private directory (a directory of uid " + std::to_string(geteuid()) +
                          " with mode 0700): remove it");
    return 0;
}

int RawLogClaim::lock()
{
    Fd fd(sys.open(lockPath_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return fail(ClaimStep::Lock, lockPath_, errno);
    struct stat st;
    if (sys.fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(ClaimStep::Lock, lockPath_, EINVAL);
    while (sys.flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail(ClaimStep::Lock, lockPath_, errno);
    }
    lockFd_ = std::move(fd);
    return 0;
}

RawLogClaim::Result RawLogClaim::acquire()
{
    // A writer that opens a file we hold a lease on makes the kernel send
    // SIGIO, whose default action would end the run.
    signal(SIGIO, SIG_IGN);
    if (checkStateDir() != 0 || (!lockFd_.valid() && lock() != 0) || findBacklog() != 0 ||
        resolveNote() != 0 || finishDrain() != 0 || takeUpEarlierCopies() != 0 || claimRawLog() != 0)
        return Failed;
    struct stat st;
    if (backlogFd_.valid() && sys.fstat(backlogFd_.get(), &st) == 0 && st.st_size > consumed_)
        return Claimed;
    return Nothing;
}

// The backlog left by earlier runs, and how much of it was delivered.
int RawLogClaim::findBacklog()
{
    DIR* d = opendir(dir_.c_str());
    if (!d)
        return fail(ClaimStep::Claim, dir_, errno);
    while (struct dirent* e = readdir(d)) {
        if (strncmp(e->d_name, kBacklogPrefix, sizeof kBacklogPrefix - 1) == 0) {
            backlogId_ = e->d_name + sizeof kBacklogPrefix - 1;
            break;
        }
    }
    closedir(d);
    if (backlogId_.empty())
        return 0;
    if (openBacklog() != 0)
        return -1;
    std::string text;
    consumed_ = 0;
    if (readSmallFile(consumedPath_, text)) {
        char id[64] = {};
        long long at = 0;
        if (sscanf(text.c_str(), "%63s %lld", id, &at) == 2 && backlogId_ == id && at > 0)  // NOLINT(cert-err34-c)
            consumed_ = static_cast<off_t>(at);
    }
    return 0;
}

std::string RawLogClaim::backlogPath() const
{
    return dir_ + "/" + kBacklogPrefix + backlogId_;
}

// Opens the backlog named backlogId_, creating it when missing.
int RawLogClaim::openBacklog()
{
    std::string path = backlogPath();
    backlogFd_ = Fd(sys.open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!backlogFd_.valid())
        return fail(ClaimStep::Claim, path, errno);
    return 0;
}

int RawLogClaim::writeConsumed()
{
    std::string text = backlogId_ + " " + std::to_string(static_cast<long long>(consumed_)) + "\n";
    std::string failed;
    if (replaceFile(stagingPath_, consumedPath_, text, failed) != 0)
        return fail(ClaimStep::DeleteLogFile, failed, errno);
    return 0;
}

// A note left by a log run killed after its batch reached the report: when
// the report holds the batch where the note says, the backlog drops it; a
// part of the batch at the report's end goes, and the lines are reported
// whole. A note that does not check out leaves the lines to be reported.
int RawLogClaim::resolveNote()
{
    std::string text;
    DeliveryNote n;
    if (!readSmallFile(notePath_, text))
        return 0;
    if (parseNote(text, n) && !n.earlier) {
        if (!reportHolds(n)) {
            cutPartialBatch(n);
        } else if (n.backlog == backlogId_ && static_cast<unsigned long long>(consumed_) == n.from) {
            batchFrom_ = consumed_;
            batchTo_ = static_cast<off_t>(n.to);
            if (settle(true) != 0)
                return -1;
        }
    }
    sys.unlink(notePath_.c_str());
    return 0;
}

// Notes the drain ("<id> <backlog size> <from> <landing>", then a line
// "<length> <dev> <ino>" of the landing as it is now) and makes sure a
// backlog is there to take its lines.
int RawLogClaim::startDrain(Drain& d, const std::string& landing, off_t from, const struct stat& source)
{
    if (backlogId_.empty()) {
        backlogId_ = randomId();
        consumed_ = 0;
        if (openBacklog() != 0)
            return -1;
    }
    struct stat st;
    if (sys.fstat(backlogFd_.get(), &st) != 0)
        return fail(ClaimStep::Claim, backlogPath(), errno);
    d.landing = landing;
    d.from = from;
    d.backlogSize = st.st_size;
    d.length = source.st_size;
    d.dev = source.st_dev;
    d.ino = source.st_ino;
    std::string text = backlogId_ + " " + std::to_string(static_cast<long long>(d.backlogSize)) + " " +
                       std::to_string(static_cast<long long>(from)) + " " + landing + "\n" +
                       std::to_string(d.length) + " " + std::to_string(d.dev) + " " + std::to_string(d.ino);
    std::string failed;
    if (replaceFile(stagingPath_, drainPath_, text, failed) != 0 || syncDirectory(dir_) != 0)
        return fail(ClaimStep::Claim, failed.empty() ? dir_ : failed, errno);
    return 0;
}

// Copies the lines of source from d.from to the end of the backlog (cut
// back first to where it stood when the drain began, so that a drain done
// again copies nothing twice), syncs the backlog, then removes the landing.
// A writer that had found the raw log before it was moved and waits to open
// it appends once the lease goes: it is let in and its lines copied before
// the landing is removed, so that a run killed meanwhile leaves them in the
// landing for the next. Only a writer that reaches the lease after the
// removal appends to a file with no name; it is waited for all the same.
int RawLogClaim::runDrain(Drain& d, Fd& source, int quiet)
{
    struct stat st;
    if (sys.fstat(backlogFd_.get(), &st) != 0 ||
        (st.st_size > d.backlogSize && sys.ftruncate(backlogFd_.get(), d.backlogSize) != 0)) {
        dropLease(source.get(), quiet);
        return fail(ClaimStep::Claim, backlogPath(), errno);
    }
    off_t at = d.from;
    int rc = 0;
    for (bool removed = false;;) {
        if (copyLines(source.get(), at, true) != 0) {
            rc = fail(ClaimStep::ReadLog, d.landing, errno);
            break;
        }
        if (writerWaiting(source.get(), quiet)) {
            dropLease(source.get(), quiet);
            quiet = holdQuiet(source.get(), limits_.releaseMs);
            if (quiet == Busy) {
                rc = fail(ClaimStep::ReadLog, d.landing, EBUSY);
                break;
            }
            continue;
        }
        if (sys.fsync(backlogFd_.get()) != 0) {
            rc = fail(ClaimStep::ReadLog, d.landing, errno);
            break;
        }
        if (removed)
            break;
        int gone = d.dir.valid() ? sys.unlinkat(d.dir.get(), "raw", 0) : sys.unlink(d.landing.c_str());
        if (gone != 0 && errno != ENOENT) {
            rc = fail(ClaimStep::Claim, d.landing, errno);
            break;
        }
        removed = true;
    }
    dropLease(source.get(), quiet);
    if (rc != 0)
        return rc;  // the drain note stays: the next run finishes the drain
    endDrain(d);
    return 0;
}

// The drain is done: its transit directory (while its name still names the
// directory held) and its note go.
void RawLogClaim::endDrain(const Drain& d)
{
    struct stat held, named;
    const std::string transit = directoryOf(d.landing);
    if (d.dir.valid() && sys.fstat(d.dir.get(), &held) == 0 && sys.lstat(transit.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        sys.rmdir(transit.c_str());
    sys.unlink(drainPath_.c_str());
}

// The lines of source from at to its end go to the end of the backlog;
// with last, a final line without a line end is a line. Lines longer than
// the bound are dropped, and the holes of a sparse file skipped, so that
// memory stays bounded whatever the file holds. 0, or -1 with errno.
int RawLogClaim::copyLines(int source, off_t& at, bool last)
{
    const size_t kChunk = 1u << 20;
    auto flush = [&]() {
        int rc = writeAll(backlogFd_.get(), out_.view());
        out_.clear();
        return rc;
    };
    auto feed = [&](const char* p, const char* end) {
        while (p < end) {
            const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = nl ? nl : end;
            size_t len = static_cast<size_t>(stop - p);
            if (dropping_) {
                dropped_.bytes += len + (nl ? 1 : 0);
                if (nl) {
                    dropping_ = false;
                    ++dropped_.lines;
                }
            } else if (pending_.size() + len > limits_.lineBytes) {
                dropped_.bytes += pending_.size() + len + (nl ? 1 : 0);
                pending_.clear();
                if (nl)
                    ++dropped_.lines;
                else
                    dropping_ = true;
            } else if (nl) {
                if (!out_.append(pending_.view()) || !out_.append(std::string_view(p, len + 1)))
                    return false;
                pending_.clear();
            } else if (!pending_.append(std::string_view(p, len))) {
                return false;
            }
            p = nl ? nl + 1 : end;
        }
        return true;
    };
    ByteBuffer chunk;
    char* buf = chunk.extend(kChunk);
    if (!buf) {
        errno = ENOMEM;
        return -1;
    }
    for (;;) {
        if (dropping_) {
            // Inside a line too long to keep: a hole holds no line end.
            off_t data = sys.lseek(source, at, SEEK_DATA);
            if (data < 0 && errno == ENXIO) {
                struct stat st;
                if (sys.fstat(source, &st) == 0 && st.st_size > at) {
                    dropped_.bytes += static_cast<unsigned long long>(st.st_size - at);
                    at = st.st_size;
                }
                break;
            }
            if (data > at) {
                dropped_.bytes += static_cast<unsigned long long>(data - at);
                at = data;
            }
        }
        ssize_t n = sys.pread(source, buf, kChunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        at += n;
        if (!feed(buf, buf + n)) {
            errno = ENOMEM;
            return -1;
        }
        if (out_.size() >= kChunk && flush() != 0)
            return -1;
    }
    if (last) {
        if (dropping_) {
            ++dropped_.lines;
            dropping_ = false;
        } else if (!pending_.empty()) {
            if (!out_.append(pending_.view()) || !out_.append("\n")) {
                errno = ENOMEM;
                return -1;
            }
            pending_.clear();
        }
    }
    return flush();
}

// The landing a drain note names, if it is still the one this node's run
// left: a transit directory of ours (0700, on the raw log's file system)
// holding a plain file "raw" of the raw log's owners, opened through the
// directory, nothing followed. A reboot empties /tmp, and another user who
// saw the names may have planted anything there since. Returns the open
// landing; otherwise none, with refused saying what stands there instead,
// or nothing said when it is gone (errno ENOENT) or could not be looked at.
Fd RawLogClaim::openLanding(Drain& d, std::string& refused)
{
    refused.clear();
    const std::string transit = directoryOf(d.landing);
    const bool inTransit =
        baseName(d.landing) == "raw" && baseName(transit).rfind(".adjtimelog-" + std::to_string(geteuid()) + ".", 0) == 0;
    struct stat st;
    if (!inTransit) {
        // A copy that an earlier version kept: a plain file of the owners.
        Fd source(sys.open(d.landing.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
        if (!source.valid() && errno == ELOOP)
            refused = "a symbolic link";
        else if (source.valid() && (sys.fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                                    !owners_.has(st.st_uid)))
            refused = S_ISREG(st.st_mode) ? "a file of uid " + std::to_string(st.st_uid) : kindOf(st.st_mode);
        if (!refused.empty())
            source.reset();
        return source;
    }
    Fd dir(sys.open(transit.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!dir.valid()) {
        if (errno == ELOOP || errno == ENOTDIR) {
            refused = sys.lstat(transit.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
                          ? "a symbolic link of uid " + std::to_string(st.st_uid)
                          : "not a directory";
            errno = EINVAL;
        }
        return Fd();
    }
    struct stat rawDir;
    if (sys.fstat(dir.get(), &st) != 0 || stat(directoryOf(raw_).c_str(), &rawDir) != 0)
        return Fd();
    if (st.st_uid != geteuid() || (st.st_mode & 07777) != 0700 || st.st_dev != rawDir.st_dev) {
        char octal[8];
        snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        refused = "a directory of uid " + std::to_string(st.st_uid) + " with mode " + octal +
                  (st.st_dev != rawDir.st_dev ? " on another file system" : "");
        errno = EINVAL;
        return Fd();
    }
    d.dir = std::move(dir);
    Fd source(sys.openat(d.dir.get(), "raw", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!source.valid()) {
        if (errno == ELOOP) {
            refused = "a symbolic link";
            errno = EINVAL;
        }
        return source;
    }
    if (sys.fstat(source.get(), &st) != 0)
        return Fd();
    if (!S_ISREG(st.st_mode))
        refused = kindOf(st.st_mode);
    else if (!owners_.has(st.st_uid))
        refused = "a file of uid " + std::to_string(st.st_uid);
    if (!refused.empty()) {
        d.dir.reset();  // not ours: nothing in it is removed
        errno = EINVAL;
        return Fd();
    }
    return source;
}

// A drain a killed run began: done again from its note. When its landing is
// gone (a reboot emptied /tmp) or is not the one the run left, nothing more
// is read from it: what was copied stays, cut back to its last whole line,
// and the bytes of the landing that were never copied are counted lost.
int RawLogClaim::finishDrain()
{
    std::string text;
    if (!readSmallFile(drainPath_, text))
        return 0;
    char id[64] = {};
    long long size = 0, from = 0;
    int used = 0;
    if (sscanf(text.c_str(), "%63s %lld %lld %n", id, &size, &from, &used) != 3 || used <= 0 ||  // NOLINT(cert-err34-c)
        size < 0 || from < 0) {
        sys.unlink(drainPath_.c_str());  // not a note of ours
        return 0;
    }
    if (backlogId_ != id) {
        backlogId_ = id;
        consumed_ = 0;
        if (openBacklog() != 0)
            return -1;
    }
    Drain d;
    d.from = static_cast<off_t>(from);
    d.backlogSize = static_cast<off_t>(size);
    std::string rest = text.substr(static_cast<size_t>(used));
    size_t nl = rest.find('\n');
    d.landing = rest.substr(0, nl);
    if (nl != std::string::npos &&
        sscanf(rest.c_str() + nl + 1, "%lld %llu %llu", &d.length, &d.dev, &d.ino) != 3)  // NOLINT(cert-err34-c)
        d.length = -1;

    std::string refused;
    Fd source = openLanding(d, refused);
    if (source.valid())
        return runDrain(d, source, holdQuiet(source.get(), limits_.claimMs));
    if (refused.empty() && errno != ENOENT)
        return fail(ClaimStep::Claim, d.landing, errno);
    if (!refused.empty())
        notices_.push_back(d.landing + " is " + refused +
                           ", not the landing this node's run left: the drain is ended without reading it");

    ByteBuffer tail;
    struct stat st;
    if (sys.fstat(backlogFd_.get(), &st) != 0)
        return fail(ClaimStep::Claim, dir_, errno);
    off_t look = st.st_size > d.backlogSize ? d.backlogSize : st.st_size;
    if (readFrom(backlogFd_.get(), look, tail) != 0)
        return fail(ClaimStep::ReadLog, backlogPath(), errno);
    const char* end = static_cast<const char*>(memrchr(tail.data(), '\n', tail.size()));
    off_t whole = look + (end ? static_cast<off_t>(end - tail.data() + 1) : 0);
    if (whole < st.st_size && (sys.ftruncate(backlogFd_.get(), whole) != 0 || sys.fsync(backlogFd_.get()) != 0))
        return fail(ClaimStep::Claim, backlogPath(), errno);
    // A run killed before it moved the raw log leaves it where it was: then
    // nothing is lost.
    struct stat now;
    bool stillRaw = sys.lstat(raw_.c_str(), &now) == 0 && static_cast<unsigned long long>(now.st_dev) == d.dev &&
                    static_cast<unsigned long long>(now.st_ino) == d.ino;
    long long copied = static_cast<long long>(whole - d.backlogSize);
    long long lost = d.length - static_cast<long long>(d.from) - (copied > 0 ? copied : 0);
    if (d.length >= 0 && !stillRaw && lost > 0) {
        lostBytes_ += lost;
        notices_.push_back(d.landing + " vanished before it was copied: " + std::to_string(lost) +
                           " bytes of the raw log were lost");
    }
    endDrain(d);
    return 0;
}

// Versions that kept their state beside the raw log left the lines they had
// claimed there (.adjtimelog-<uid>/claimed and merging, and before them
// update_time.log.claimed and .merging): taken up once, oldest first, when
// they are plain files of ours in a directory of ours. Their delivery note
// says whether the start of the claimed copy already reached the report.
int RawLogClaim::takeUpEarlierCopies()
{
    const std::string earlier = directoryOf(raw_) + "/.adjtimelog-" + std::to_string(geteuid());
    const bool inState = earlier == dir_;
    struct stat st;
    bool ours = inState || (sys.lstat(earlier.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                            st.st_uid == geteuid() && (st.st_mode & 077) == 0);
    off_t claimedFrom = 0;
    std::string text;
    DeliveryNote n;
    if (ours && readSmallFile(earlier + "/delivery", text)) {
        if (parseNote(text, n) && n.earlier) {
            if (!reportHolds(n))
                cutPartialBatch(n);
            else if (sys.lstat((earlier + "/claimed").c_str(), &st) == 0 &&
                     static_cast<unsigned long long>(st.st_dev) == n.claimedDev &&
                     static_cast<unsigned long long>(st.st_ino) == n.claimedIno)
                claimedFrom = static_cast<off_t>(n.readSize);
        }
        sys.unlink((earlier + "/delivery").c_str());
    }
    struct Copy {
        std::string path;
        off_t from;
        bool inOurDirectory;
    };
    const Copy copies[] = {{earlier + "/claimed", claimedFrom, true},
                           {earlier + "/merging", 0, true},
                           {raw_ + ".claimed", 0, false},
                           {raw_ + ".merging", 0, false}};
    for (const Copy& c : copies) {
        if (c.inOurDirectory && !ours)
            continue;
        std::string why;
        Fd source;
        if (c.inOurDirectory) {
            // Claimed copies keep the owner of the raw log they were.
            source = Fd(sys.open(c.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
            if (source.valid() && (sys.fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                                   !owners_.has(st.st_uid)))
                source.reset();
        } else {
            Fd dir(sys.open(directoryOf(c.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
            if (dir.valid())
                source = Fd(openGuarded(dir.get(), baseName(c.path).c_str(), O_RDONLY, 0, owners_, why));
        }
        if (!source.valid())
            continue;  // nothing there, or nothing of ours: left as it is
        Drain d;
        if (sys.fstat(source.get(), &st) != 0)
            return fail(ClaimStep::Claim, c.path, errno);
        if (startDrain(d, c.path, c.from, st) != 0 ||
            runDrain(d, source, holdQuiet(source.get(), limits_.claimMs)) != 0)
            return -1;
    }
    if (ours && !inState) {
        for (const char* name : {"/lock", "/staging", "/merging.new", "/delivery.new"})
            sys.unlink((earlier + name).c_str());
        sys.rmdir(earlier.c_str());
    }
    return 0;
}

// The raw log, moved into a transit directory of ours beside it and copied
// to the end of the backlog. Whatever stands at the raw log's path that the
// open rule refuses is left there, and the run fails saying what it is.
int RawLogClaim::claimRawLog()
{
    const std::string rawDir = directoryOf(raw_);
    Fd dir(sys.open(rawDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!dir.valid())
        return errno == ENOENT ? 0 : fail(ClaimStep::Claim, rawDir, errno);
    std::string why;
    Fd source(openGuarded(dir.get(), baseName(raw_).c_str(), O_RDONLY, 0, owners_, why));
    if (!source.valid()) {
        if (!why.empty())
            return refuse(ClaimStep::Claim, raw_, why + " (not the time job's raw log): remove it");
        return errno == ENOENT ? 0 : fail(ClaimStep::Claim, raw_, errno);
    }
    struct stat st;
    if (sys.fstat(source.get(), &st) != 0)
        return fail(ClaimStep::Claim, raw_, errno);
    if (st.st_size == 0)
        return 0;  // an empty raw log is left as it is
    rawModified_ = st.st_mtime;
    int quiet = holdQuiet(source.get(), limits_.claimMs);
    if (quiet == Busy)
        return fail(ClaimStep::Claim, raw_, EBUSY);  // a writer keeps it open: next run

    const std::string transit = rawDir + "/.adjtimelog-" + std::to_string(geteuid()) + "." + randomId();
    const std::string landing = transit + "/raw";
    Drain d;
    if (startDrain(d, landing, 0, st) != 0) {
        dropLease(source.get(), quiet);
        return -1;
    }
    if (sys.mkdir(transit.c_str(), 0700) != 0 ||
        !(d.dir = Fd(sys.open(transit.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0))).valid() ||
        sys.rename(raw_.c_str(), landing.c_str()) != 0) {
        int err = errno;
        bool made = pathIsDirectory(transit);
        sys.rmdir(transit.c_str());
        sys.unlink(drainPath_.c_str());
        dropLease(source.get(), quiet);
        if (made && err == ENOENT)
            return 0;  // gone meanwhile: nothing to claim
        return fail(ClaimStep::Claim, made ? raw_ : transit, err);
    }
    return runDrain(d, source, quiet);
}

RawLogClaim::Result RawLogClaim::nextBatch(FileText& text)
{
    text.clear();
    struct stat st;
    if (!backlogFd_.valid())
        return Nothing;
    if (sys.fstat(backlogFd_.get(), &st) != 0) {
        fail(ClaimStep::ReadLog, backlogPath(), errno);
        return Failed;
    }
    if (st.st_size <= consumed_)
        return Nothing;
    off_t to = st.st_size - consumed_ > static_cast<off_t>(limits_.batchBytes)
                   ? consumed_ + static_cast<off_t>(limits_.batchBytes)
                   : st.st_size;
    if (text.load(backlogFd_.get(), consumed_, to) != 0) {
        fail(ClaimStep::ReadLog, backlogPath(), errno);
        return Failed;
    }
    if (to < st.st_size) {
        // Whole lines only: no line is longer than a batch.
        const char* nl = static_cast<const char*>(memrchr(text.data(), '\n', text.size()));
        size_t keep = nl ? static_cast<size_t>(nl - text.data() + 1) : text.size();
        text.keepFirst(keep);
        to = consumed_ + static_cast<off_t>(keep);
    }
    batchFrom_ = consumed_;
    batchTo_ = to;
    // A batch sent before whose outcome was never heard keeps its identity
    // and its end, whatever was claimed since.
    identity_.clear();
    identityNoted_ = false;
    std::string note;
    char id[40] = {}, backlog[64] = {};
    long long from = 0, end = 0;
    if (readSmallFile(sentPath_, note) &&
        sscanf(note.c_str(), "%39s %63s %lld %lld", id, backlog, &from, &end) == 4 &&  // NOLINT(cert-err34-c)
        backlogId_ == backlog && from == batchFrom_ && end > from && end <= batchTo_) {
        text.keepFirst(static_cast<size_t>(end - from));
        batchTo_ = static_cast<off_t>(end);
        identity_ = id;
        identityNoted_ = true;
    }
    return Claimed;
}

long long RawLogClaim::waitingBytes() const
{
    struct stat st;
    if (!backlogFd_.valid() || sys.fstat(backlogFd_.get(), &st) != 0 || st.st_size <= consumed_)
        return 0;
    return static_cast<long long>(st.st_size - consumed_);
}

int RawLogClaim::identifyBatch(std::string& identity)
{
    if (identity_.empty()) {
        std::string id = randomId() + randomId();
        std::string text = id + " " + backlogId_ + " " + std::to_string(static_cast<long long>(batchFrom_)) + " " +
                           std::to_string(static_cast<long long>(batchTo_)) + "\n";
        std::string failed;
        if (replaceFile(stagingPath_, sentPath_, text, failed) != 0 || syncDirectory(dir_) != 0)
            return fail(ClaimStep::Write, failed.empty() ? dir_ : failed, errno);
        identity_ = id;
    }
    identity = identity_;
    return 0;
}

std::string RawLogClaim::batchId() const
{
    return backlogId_ + " " + std::to_string(static_cast<long long>(batchFrom_));
}

int RawLogClaim::noteReportDelivery(const std::string& reportPath, const struct stat& reportBefore,
                                    std::string_view batch)
{
    DeliveryNote n = noteFor(reportPath, reportBefore, batch);
    n.backlog = backlogId_;
    n.from = static_cast<unsigned long long>(batchFrom_);
    n.to = static_cast<unsigned long long>(batchTo_);
    std::string failed;
    if (replaceFile(stagingPath_, notePath_, formatNote(n), failed) != 0)
        return fail(ClaimStep::Write, notePath_, errno);
    return 0;
}

int RawLogClaim::settle(bool delivered)
{
    if (!delivered || backlogId_.empty() || batchTo_ <= consumed_)
        return 0;
    consumed_ = batchTo_;
    struct stat st;
    const std::string backlog = backlogPath();
    if (sys.fstat(backlogFd_.get(), &st) != 0)
        return fail(ClaimStep::DeleteLogFile, backlog, errno);
    if (consumed_ < st.st_size) {
        if (writeConsumed() != 0)
            return -1;
    } else {
        // Everything delivered: the backlog goes before its offset does, so
        // that no crash leaves a backlog whose delivered lines look new.
        if (sys.unlink(backlog.c_str()) != 0)
            return fail(ClaimStep::DeleteLogFile, backlog, errno);
        sys.unlink(consumedPath_.c_str());
        backlogFd_.reset();
        backlogId_.clear();
        consumed_ = batchFrom_ = batchTo_ = 0;
        syncDirectory(dir_);
    }
    sys.unlink(notePath_.c_str());
    sys.unlink(sentPath_.c_str());
    identity_.clear();
    identityNoted_ = false;
    return 0;
}
