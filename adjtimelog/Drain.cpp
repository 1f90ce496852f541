#include "Drain.h"
#include "DeliveryNote.h"
#include "RawLogClaim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

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

bool writerWaiting(int fd, int q)
{
    return q == Leased && sys.fcntl(fd, F_GETLEASE, 0) == F_UNLCK;
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
                       std::to_string(static_cast<long long>(from)) + " " + landing + "\n" + std::to_string(d.length) +
                       " " + std::to_string(d.dev) + " " + std::to_string(d.ino);
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
                out_.append(pending_.view());
                out_.append(std::string_view(p, len + 1));
                pending_.clear();
            } else {
                pending_.append(std::string_view(p, len));
            }
            p = nl ? nl + 1 : end;
        }
    };
    // Not zero-filled: a run of a few lines touches a page of it, not 256.
    std::unique_ptr<char[]> chunk(new char[kChunk]);
    char* buf = chunk.get();
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
        feed(buf, buf + n);
        if (out_.size() >= kChunk && flush() != 0)
            return -1;
    }
    if (last) {
        if (dropping_) {
            ++dropped_.lines;
            dropping_ = false;
        } else if (!pending_.empty()) {
            out_.append(pending_.view());
            out_.append("\n");
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
    const bool inTransit = baseName(d.landing) == "raw" &&
                           baseName(transit).rfind(".adjtimelog-" + std::to_string(owners_.run) + ".", 0) == 0;
    struct stat st;
    if (!inTransit) {
        // A copy that an earlier version kept: a plain file of the owners.
        Fd source(sys.open(d.landing.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
        if (!source.valid() && errno == ELOOP)
            refused = "a symbolic link";
        else if (source.valid() &&
                 (sys.fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode) || !owners_.has(st.st_uid)))
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
    if (st.st_uid != owners_.run || (st.st_mode & 07777) != 0700 || st.st_dev != rawDir.st_dev) {
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

    std::string tail;
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
