#include "RawLogClaim.h"
#include "Diagnostics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool isLink(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Reads from fd, starting at offset from, to the end of the file, and
// appends it to out: as much as fstat promised in one piece, then whatever
// was appended meanwhile.
int readRest(int fd, off_t from, ByteBuffer& out)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    size_t base = out.size();
    size_t chunk = st.st_size > from ? static_cast<size_t>(st.st_size - from) : 0;
    off_t at = from;
    for (;;) {
        if (chunk < 65536)
            chunk = 65536;
        char* room = out.extend(chunk);
        if (!room) {
            errno = ENOMEM;
            return -1;
        }
        size_t got = 0;
        while (got < chunk) {
            ssize_t n = pread(fd, room + got, chunk - got, at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                out.shrinkBy(out.size() - base);
                return -1;
            }
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
            at += n;
        }
        out.shrinkBy(chunk - got);
        if (got < chunk)
            return 0;  // end of file
        chunk = 0;
    }
}

// A writer that opened the raw log just before it was claimed may still be
// about to append. A read lease is granted only while nobody has the file
// open for writing, so once one is granted every such writer is done, and no
// new one comes: the raw log's name now belongs to a new file. Where leases
// are not to be had, the tail check of release() is what is left.
void waitForWriters(int fd)
{
    for (int tries = 0; tries < 500; ++tries) {
        if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
            fcntl(fd, F_SETLEASE, F_UNLCK);
            return;
        }
        if (errno != EAGAIN)
            return;
        usleep(10000);
    }
}

int openForReading(const std::string& path, bool follow)
{
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW);
    return open(path.c_str(), flags);
}

int writeAll(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int readWholeFile(const std::string& path, bool follow, ByteBuffer& out)
{
    int fd = openForReading(path, follow);
    if (fd < 0)
        return -1;
    // A raw log set aside for a merge may still have a writer, as a claimed one may.
    waitForWriters(fd);
    int rc = readRest(fd, 0, out);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

RawLogClaim::RawLogClaim(std::string rawPath)
    : raw_(std::move(rawPath)),
      claimed_(raw_ + ".claimed"),
      merging_(raw_ + ".merging"),
      staging_(raw_ + ".staging"),
      lock_(raw_ + ".lock")
{
}

RawLogClaim::~RawLogClaim()
{
    if (claimFd_ >= 0)
        close(claimFd_);
    if (lockFd_ >= 0)
        close(lockFd_);  // releases the lock
}

int RawLogClaim::lock()
{
    // Created exclusively when absent; an existing one is opened without
    // following a link, so nobody can point the lock at another file.
    int fd = open(lock_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST)
        fd = open(lock_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        errno_ = errno;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        // A lock file of another user could be held forever to stop us.
        errno_ = EPERM;
        close(fd);
        return -1;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            errno_ = errno;
            close(fd);
            return -1;
        }
    }
    lockFd_ = fd;
    return 0;
}

RawLogClaim::Result RawLogClaim::acquire(ByteBuffer& text)
{
    if (lockFd_ < 0 && lock() != 0) {
        diag("AnalyzeLogFile::lock ", lock_, std::string(" false! ") + strerror(errno_));
        return Failed;
    }

    if (takeUpLeftovers() != 0) {
        held_ = exists(claimed_);
        diag("AnalyzeLogFile::claim ", claimed_, std::string(" false! ") + strerror(errno_));
        return Failed;
    }

    if (!exists(claimed_)) {
        struct stat st;
        if (stat(raw_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
            return Nothing;  // an empty raw log stays where it is
        if (rename(raw_.c_str(), claimed_.c_str()) != 0) {
            if (errno == ENOENT)
                return Nothing;
            errno_ = errno;
            diag("AnalyzeLogFile::claim ", raw_, std::string(" false! ") + strerror(errno_));
            return Failed;
        }
    }
    held_ = true;

    // A claimed link was the raw log itself: it is read through, as the raw
    // log always was. A claimed regular file is ours and is never followed.
    claimFd_ = openForReading(claimed_, isLink(claimed_));
    struct stat st;
    if (claimFd_ < 0 || fstat(claimFd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        // Nothing readable stands there (a link to something gone, or a
        // file swapped in by someone else): hand it back untouched.
        if (claimFd_ >= 0)
            close(claimFd_);
        claimFd_ = -1;
        putBack();
        return Nothing;
    }
    waitForWriters(claimFd_);
    text.clear();
    if (readRest(claimFd_, 0, text) != 0) {
        errno_ = errno;
        diag("AnalyzeLogFile::readLog ", raw_, std::string(" false! ") + strerror(errno_));
        return Failed;
    }
    readSize_ = static_cast<off_t>(text.size());
    if (text.empty()) {
        putBack();
        return Nothing;
    }
    return Claimed;
}

int RawLogClaim::takeUpLeftovers()
{
    // A run killed in the middle of a merge leaves the newer lines aside.
    if (!exists(merging_))
        return 0;
    if (!exists(claimed_)) {
        if (rename(merging_.c_str(), claimed_.c_str()) != 0) {
            errno_ = errno;
            return -1;
        }
        return 0;
    }
    return mergeIntoClaimed();
}

// The claimed copy becomes its own lines followed by those set aside in
// merging_, and merging_ goes away.
int RawLogClaim::mergeIntoClaimed()
{
    ByteBuffer text;
    if (readWholeFile(claimed_, isLink(claimed_), text) != 0 ||
        readWholeFile(merging_, isLink(merging_), text) != 0) {
        errno_ = errno;
        return -1;
    }
    if (replaceClaimedWith(text.view(), merging_) != 0)
        return -1;
    if (unlink(merging_.c_str()) != 0) {
        errno_ = errno;
        return -1;
    }
    return 0;
}

// Writes text to a new file and renames it over the claimed copy. The new
// file takes the owner and permissions of the file at likePath, so that the
// job that fills the raw log can go on appending to it once it is back.
int RawLogClaim::replaceClaimedWith(std::string_view text, const std::string& likePath)
{
    unlink(staging_.c_str());  // a leftover of a killed run; only a name
    int fd = open(staging_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        errno_ = errno;
        return -1;
    }
    struct stat like;
    if (stat(likePath.c_str(), &like) == 0) {
        if (geteuid() == 0 && fchown(fd, like.st_uid, like.st_gid) != 0) {
            // Not fatal: root still owns the lines and the job runs as root.
        }
        fchmod(fd, like.st_mode & 0666);
    }
    if (writeAll(fd, text) != 0 || fsync(fd) != 0) {
        errno_ = errno;
        close(fd);
        unlink(staging_.c_str());
        return -1;
    }
    if (close(fd) != 0 || rename(staging_.c_str(), claimed_.c_str()) != 0) {
        errno_ = errno;
        unlink(staging_.c_str());
        return -1;
    }
    return 0;
}

int RawLogClaim::release()
{
    if (!held_)
        return 0;
    // A writer that opened the raw log before it was claimed may still have
    // appended to it; those lines were not read and go back.
    ByteBuffer tail;
    if (claimFd_ >= 0 && readRest(claimFd_, readSize_, tail) == 0 && !tail.empty()) {
        if (replaceClaimedWith(tail.view(), claimed_) != 0)
            return -1;
        return putBack();
    }
    if (unlink(claimed_.c_str()) != 0) {
        errno_ = errno;
        return -1;
    }
    held_ = false;
    return 0;
}

int RawLogClaim::putBack()
{
    if (!held_)
        return 0;
    // Each round either moves the claimed copy back while no raw log exists,
    // or sets the new raw log aside and merges it behind the claimed lines.
    // The job writes seldom, so this ends at once; if it does not, the
    // claimed copy stays and the next run takes it up.
    for (int round = 0; round < 100; ++round) {
        if (renameat2(AT_FDCWD, claimed_.c_str(), AT_FDCWD, raw_.c_str(), RENAME_NOREPLACE) == 0) {
            held_ = false;
            return 0;
        }
        if (errno != EEXIST) {
            errno_ = errno;
            return -1;
        }
        if (rename(raw_.c_str(), merging_.c_str()) != 0) {
            if (errno == ENOENT)
                continue;
            errno_ = errno;
            return -1;
        }
        if (mergeIntoClaimed() != 0)
            return -1;
    }
    errno_ = EAGAIN;
    return -1;
}
