#include "RawLogClaim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

enum class Quiet { Leased, NoLease, Busy };

// Waits up to waitMs until nobody has fd's file open for writing and then
// holds a read lease on it: a writer that opens it now waits until the lease
// is dropped. NoLease: leases are not to be had (not our file, or a file
// system without them); reads may then see a write half done.
Quiet holdQuiet(int fd, int waitMs)
{
    for (int waited = 0;; waited += 10) {
        if (sys.fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
            return Quiet::Leased;
        if (errno != EAGAIN)
            return Quiet::NoLease;
        if (waited >= waitMs)
            return Quiet::Busy;
        usleep(10000);
    }
}

void dropLease(int fd, Quiet q)
{
    if (q == Quiet::Leased)
        sys.fcntl(fd, F_SETLEASE, F_UNLCK);
}

// A writer is blocked opening the file we hold a lease on: it resolved the
// file's old name before we moved or removed it, and appends once the lease
// is dropped.
bool writerWaiting(int fd, Quiet q)
{
    return q == Quiet::Leased && sys.fcntl(fd, F_GETLEASE, 0) == F_UNLCK;
}

int openToRead(const std::string& path, bool follow)
{
    return sys.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW), 0);
}

bool isRegular(int fd)
{
    struct stat st;
    return sys.fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The hash of notes written before word hashes: FNV-1a, a byte at a time.
uint64_t fnv1a(std::string_view bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

uint64_t rotl(uint64_t x, int r)
{
    return (x << r) | (x >> (64 - r));
}

// The batch hash: eight bytes at a time in two lanes, so that a batch of
// megabytes costs a fraction of a millisecond, then mixed whole. Words are
// read in the machine's order; a note never leaves the machine.
uint64_t wordHash(std::string_view bytes)
{
    const uint64_t k1 = 0x9e3779b97f4a7c15ull, k2 = 0xc2b2ae3d27d4eb4full;
    uint64_t a = bytes.size() * k1, b = ~a;
    const char* p = bytes.data();
    size_t n = bytes.size();
    auto mixIn = [&](uint64_t& lane, const char* at) {
        uint64_t w;
        memcpy(&w, at, 8);
        lane = rotl(lane ^ (w * k2), 31) * k1;
    };
    for (; n >= 16; p += 16, n -= 16) {
        mixIn(a, p);
        mixIn(b, p + 8);
    }
    char tail[16] = {};
    if (n > 0)
        memcpy(tail, p, n);
    mixIn(a, tail);
    mixIn(b, tail + 8);
    uint64_t h = a ^ rotl(b, 27);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

// How the batch of a note is hashed: a note without the scheme's number
// was written with FNV-1a.
enum HashScheme : unsigned long long { kFnv1a = 1, kWordHash = 2 };

uint64_t batchHash(unsigned long long scheme, std::string_view bytes)
{
    return scheme == kWordHash ? wordHash(bytes) : fnv1a(bytes);
}

// The delivery note: the report (device, inode, size before the batch),
// the batch (length, hash) and the claimed copy it came from (device,
// inode, the bytes read of it), and how the hash was taken.
struct Note {
    unsigned long long reportDev, reportIno, reportSize, length, hash, claimedDev, claimedIno, readSize;
    unsigned long long scheme;
};

}  // namespace

RawLogClaim::RawLogClaim(std::string rawPath, Waits waits) : raw_(std::move(rawPath)), waits_(waits)
{
    dir_ = directoryOf(raw_) + "/.adjtimelog-" + std::to_string(geteuid());
    claimed_ = dir_ + "/claimed";
    merging_ = dir_ + "/merging";
    staging_ = dir_ + "/staging";
    note_ = dir_ + "/delivery";
    lock_ = dir_ + "/lock";
}

int RawLogClaim::fail(const char* step, const std::string& path, int err)
{
    error_ = ClaimError{step, path, err, {}};
    return -1;
}

// The run's own directory: made when missing; anything but a directory of
// ours with mode 0700 is refused, since another user could then plant or
// swap the files in it.
int RawLogClaim::checkPrivateDir()
{
    struct stat st;
    if (sys.lstat(dir_.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return fail("claim", dir_, errno);
        if (sys.mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST)
            return fail("claim", dir_, errno);
        if (sys.lstat(dir_.c_str(), &st) != 0)
            return fail("claim", dir_, errno);
        if (st.st_uid == geteuid() && S_ISDIR(st.st_mode) && (st.st_mode & 07777) != 0700 &&
            chmod(dir_.c_str(), 0700) == 0)  // a umask took bits of ours
            st.st_mode = (st.st_mode & ~07777u) | 0700;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
        error_ = ClaimError{"claim", dir_, 0,
                            "not a private directory (a directory of uid " +
                                std::to_string(geteuid()) + " with mode 0700): remove it"};
        return -1;
    }
    return 0;
}

int RawLogClaim::lock()
{
    Fd fd(sys.open(lock_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return fail("lock", lock_, errno);
    if (!isRegular(fd.get()))
        return fail("lock", lock_, EINVAL);
    while (sys.flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail("lock", lock_, errno);
    }
    lockFd_ = std::move(fd);
    return 0;
}

RawLogClaim::Result RawLogClaim::acquire(FileText& text)
{
    // A writer that opens a file we hold a lease on makes the kernel send
    // SIGIO, whose default action would end the run.
    signal(SIGIO, SIG_IGN);
    if (checkPrivateDir() != 0 || (!lockFd_.valid() && lock() != 0))
        return Failed;

    settleDeliveryNote();
    takeUpLegacyCopies();
    if (takeUpMerging() != 0) {
        held_ = pathExists(claimed_);
        return Failed;
    }

    Fd fd;
    Quiet quiet;
    if (!pathExists(claimed_)) {
        // A raw log that is a link is read through, as it always was.
        fd = Fd(openToRead(raw_, true));
        if (!fd.valid()) {
            if (errno == ENOENT)
                return Nothing;
            fail("claim", raw_, errno);
            return Failed;
        }
        if (!isRegular(fd.get()))
            return Nothing;  // a FIFO or a directory is none of ours
        quiet = holdQuiet(fd.get(), waits_.claimMs);
        if (quiet == Quiet::Busy) {
            fail("claim", raw_, EBUSY);  // a writer keeps it open: next run
            return Failed;
        }
        if (sys.rename(raw_.c_str(), claimed_.c_str()) != 0) {
            int err = errno;
            dropLease(fd.get(), quiet);
            if (err == ENOENT)
                return Nothing;
            fail("claim", raw_, err);
            return Failed;
        }
    } else {
        // A claimed link was the raw log itself; a claimed file is ours.
        fd = Fd(openToRead(claimed_, isLink(claimed_)));
        held_ = true;
        if (!fd.valid() || !isRegular(fd.get())) {
            putBack();  // nothing readable stands there: hand it back untouched
            return Nothing;
        }
        quiet = holdQuiet(fd.get(), waits_.claimMs);
        if (quiet == Quiet::Busy) {
            fail("claim", claimed_, EBUSY);
            return Failed;
        }
    }
    held_ = true;

    int rc = text.load(fd.get());
    int err = errno;
    dropLease(fd.get(), quiet);
    if (rc != 0) {
        fail("readLog", raw_, err);
        return Failed;
    }
    if (quiet == Quiet::NoLease) {
        // Without a lease a write may have been half done: a last line
        // without its line end waits for the next run.
        const char* nl = static_cast<const char*>(memrchr(text.data(), '\n', text.size()));
        text.keepFirst(nl ? static_cast<size_t>(nl + 1 - text.data()) : 0);
    }
    readSize_ = static_cast<off_t>(text.size());
    claimFd_ = std::move(fd);
    if (text.empty()) {
        putBack();
        return Nothing;
    }
    return Claimed;
}

// Copies of the claimed and set-aside lines left in /tmp beside the raw log
// by versions that kept them there are taken up once, when they are plain
// files of ours.
void RawLogClaim::takeUpLegacyCopies()
{
    const std::pair<std::string, std::string> moves[] = {{raw_ + ".claimed", claimed_},
                                                         {raw_ + ".merging", merging_}};
    for (const auto& [legacy, ours] : moves) {
        struct stat st;
        if (sys.lstat(legacy.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            st.st_nlink == 1 && !pathExists(ours))
            sys.rename(legacy.c_str(), ours.c_str());
    }
}

// A run killed in the middle of a merge leaves the newer lines aside.
int RawLogClaim::takeUpMerging()
{
    if (!pathExists(merging_))
        return 0;
    Fd fd(openToRead(merging_, false));
    if (!fd.valid())
        return fail("claim", merging_, errno);
    if (!pathExists(claimed_)) {
        if (sys.rename(merging_.c_str(), claimed_.c_str()) != 0)
            return fail("claim", merging_, errno);
        return 0;
    }
    return mergeIntoClaimed(fd.get());
}

// The claimed copy becomes its own lines followed by those of the file set
// aside in merging_ (open as mergingFd), and merging_ goes away.
int RawLogClaim::mergeIntoClaimed(int mergingFd)
{
    Quiet quiet = holdQuiet(mergingFd, waits_.claimMs);
    if (quiet == Quiet::Busy)
        return fail("claim", merging_, EBUSY);
    ByteBuffer text;
    Fd claimed(openToRead(claimed_, isLink(claimed_)));
    if (!claimed.valid())
        return fail("claim", claimed_, errno);
    if (readFrom(claimed.get(), 0, text) != 0)
        return fail("readLog", claimed_, errno);
    size_t own = text.size();
    int rc = 0;
    if (readFrom(mergingFd, 0, text) != 0)
        rc = fail("readLog", merging_, errno);
    if (rc == 0)
        rc = replaceClaimedWith(text.view(), mergingFd);
    if (rc == 0 && sys.unlink(merging_.c_str()) != 0)
        rc = fail("claim", merging_, errno);
    // A writer that still had the old name appends to the removed file once
    // the lease goes: let it, and take its lines too.
    while (rc == 0 && writerWaiting(mergingFd, quiet)) {
        dropLease(mergingFd, quiet);
        quiet = holdQuiet(mergingFd, waits_.releaseMs);
        size_t before = text.size();
        if (readFrom(mergingFd, static_cast<off_t>(before - own), text) != 0)
            rc = fail("readLog", merging_, errno);
        else if (text.size() > before)
            rc = replaceClaimedWith(text.view(), mergingFd);
    }
    dropLease(mergingFd, quiet);
    return rc;
}

// Writes text to a new file and renames it over the claimed copy. The new
// file takes the owner and permissions of the file open as likeFd, so that
// the job that fills the raw log can go on appending once it is back.
int RawLogClaim::replaceClaimedWith(std::string_view text, int likeFd)
{
    std::string failed;
    if (replaceFile(staging_, claimed_, text, likeFd, failed) != 0)
        return fail("restoreLog", failed, errno);
    return 0;
}

int RawLogClaim::noteReportDelivery(const std::string& reportPath, const struct stat& reportBefore,
                                    std::string_view batch)
{
    struct stat claimed;
    if (!claimFd_.valid())
        return fail("write", note_, EBADF);
    if (sys.fstat(claimFd_.get(), &claimed) != 0)
        return fail("write", note_, errno);
    char numbers[256];
    int n = snprintf(numbers, sizeof numbers, "%llu %llu %llu %llu %llu %llu %llu %llu %llu\n",
                     static_cast<unsigned long long>(reportBefore.st_dev),
                     static_cast<unsigned long long>(reportBefore.st_ino),
                     static_cast<unsigned long long>(reportBefore.st_size),
                     static_cast<unsigned long long>(batch.size()),
                     static_cast<unsigned long long>(wordHash(batch)),
                     static_cast<unsigned long long>(claimed.st_dev),
                     static_cast<unsigned long long>(claimed.st_ino),
                     static_cast<unsigned long long>(readSize_), kWordHash);
    std::string text(numbers, static_cast<size_t>(n));
    text += reportPath;
    std::string failed;
    if (replaceFile(note_ + ".new", note_, text, -1, failed) != 0)
        return fail("write", note_, errno);
    return 0;
}

void RawLogClaim::dropNote()
{
    sys.unlink(note_.c_str());
}

namespace {

// The note says where the batch went; true when the report holds it there.
bool reportHolds(const Note& n, const std::string& reportPath)
{
    Fd report(openToRead(reportPath, true));
    struct stat st;
    if (!report.valid() || sys.fstat(report.get(), &st) != 0 ||
        static_cast<unsigned long long>(st.st_dev) != n.reportDev ||
        static_cast<unsigned long long>(st.st_ino) != n.reportIno ||
        static_cast<unsigned long long>(st.st_size) < n.reportSize + n.length)
        return false;
    ByteBuffer batch;
    char* room = batch.extend(static_cast<size_t>(n.length));
    if (!room)
        return false;
    size_t got = 0;
    while (got < n.length) {
        ssize_t r = sys.pread(report.get(), room + got, static_cast<size_t>(n.length) - got,
                              static_cast<off_t>(n.reportSize + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return batchHash(n.scheme, batch.view()) == n.hash;
}

// A run killed in the middle of writing its batch leaves part of it at the
// report's end (a write cut short by the kill): only runs under the lock
// write the report, so what stands after the size the note gives, short of
// the whole batch, is that part, and it goes; the lines are reported whole.
void cutPartialBatch(const Note& n, const std::string& reportPath)
{
    Fd report(sys.open(reportPath.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0));
    struct stat st;
    if (!report.valid() || sys.fstat(report.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_dev) != n.reportDev ||
        static_cast<unsigned long long>(st.st_ino) != n.reportIno)
        return;
    auto size = static_cast<unsigned long long>(st.st_size);
    if (size > n.reportSize && size < n.reportSize + n.length &&
        ftruncate(report.get(), static_cast<off_t>(n.reportSize)) == 0)
        fdatasync(report.get());
}

}  // namespace

// A note left by a run killed after its batch reached the report: when the
// report holds the batch where the note says, the claimed lines it came
// from are dropped (what was appended to them after that run's read stays).
// A note that does not check out leaves the lines to be reported.
void RawLogClaim::settleDeliveryNote()
{
    Fd noteFd(openToRead(note_, false));
    if (!noteFd.valid())
        return;
    ByteBuffer text;
    Note n{};
    std::string reportPath;
    if (readFrom(noteFd.get(), 0, text) == 0) {
        std::string_view v = text.view();
        size_t nl = v.find('\n');
        std::string numbers(v.substr(0, nl));
        unsigned long long* fields[] = {&n.reportDev,  &n.reportIno,  &n.reportSize, &n.length,
                                        &n.hash,       &n.claimedDev, &n.claimedIno, &n.readSize};
        const char* p = numbers.c_str();
        bool ok = nl != std::string_view::npos;
        for (unsigned long long* field : fields) {
            char* end = nullptr;
            errno = 0;
            *field = strtoull(p, &end, 10);
            ok = ok && end != p && errno == 0;
            p = end;
        }
        n.scheme = kFnv1a;
        if (ok && *p == ' ') {
            char* end = nullptr;
            n.scheme = strtoull(p, &end, 10);
            ok = end != p && (n.scheme == kFnv1a || n.scheme == kWordHash);
            p = end;
        }
        if (ok && *p == '\0')
            reportPath = v.substr(nl + 1);
    }
    noteFd.reset();

    struct stat st;
    if (!reportPath.empty() && !reportHolds(n, reportPath))
        cutPartialBatch(n, reportPath);
    else if (!reportPath.empty() && sys.lstat(claimed_.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_dev) == n.claimedDev &&
        static_cast<unsigned long long>(st.st_ino) == n.claimedIno) {
        Fd claimed(openToRead(claimed_, false));
        ByteBuffer rest;
        if (claimed.valid() && readFrom(claimed.get(), static_cast<off_t>(n.readSize), rest) == 0) {
            if (rest.empty())
                sys.unlink(claimed_.c_str());
            else
                replaceClaimedWith(rest.view(), claimed.get());
        }
    }
    dropNote();
}

int RawLogClaim::release()
{
    if (!held_)
        return 0;
    // A writer that opened the raw log before it was claimed may have
    // appended to the claimed copy after the read: those lines go back.
    ByteBuffer tail;
    bool removed = false;
    for (;;) {
        Quiet quiet = holdQuiet(claimFd_.get(), waits_.releaseMs);
        if (quiet == Quiet::Busy)
            return fail("deleteLogFile", claimed_, EBUSY);
        if (readFrom(claimFd_.get(), readSize_ + static_cast<off_t>(tail.size()), tail) != 0) {
            int err = errno;
            dropLease(claimFd_.get(), quiet);
            return fail("deleteLogFile", claimed_, err);
        }
        if (!tail.empty()) {
            int rc = replaceClaimedWith(tail.view(), claimFd_.get());
            dropLease(claimFd_.get(), quiet);
            if (rc != 0)
                return -1;
            dropNote();  // the claimed copy the note names is gone
            return putBack();
        }
        if (!removed && sys.unlink(claimed_.c_str()) != 0) {
            int err = errno;
            dropLease(claimFd_.get(), quiet);
            return fail("deleteLogFile", claimed_, err);
        }
        removed = true;
        bool waiting = writerWaiting(claimFd_.get(), quiet);
        dropLease(claimFd_.get(), quiet);
        if (!waiting)
            break;
        // Someone opening the removed copy: let it write, then take that back.
    }
    dropNote();
    held_ = false;
    return 0;
}

int RawLogClaim::putBack()
{
    if (!held_)
        return 0;
    // Each round either moves the claimed copy back while no raw log exists,
    // or sets the new raw log aside and merges it behind the claimed lines.
    // The job writes seldom, so this ends at once. A job that writes faster
    // than a merge takes would win every round: then the lines stay in the
    // claimed copy, which the next run takes up before anything else.
    for (int round = 0; round < 3; ++round) {
        // Newer lines set aside by a merge that failed go behind ours first.
        if (pathExists(merging_)) {
            Fd aside(openToRead(merging_, false));
            if (!aside.valid())
                return fail("restoreLog", merging_, errno);
            if (mergeIntoClaimed(aside.get()) != 0)
                return -1;
        }
        if (sys.renameNoReplace(claimed_.c_str(), raw_.c_str()) == 0) {
            held_ = false;
            dropNote();
            return 0;
        }
        if (errno != EEXIST)
            return fail("restoreLog", raw_, errno);
        Fd newer(openToRead(raw_, true));
        if (!newer.valid()) {
            if (errno == ENOENT)
                continue;
            return fail("restoreLog", raw_, errno);
        }
        if (sys.rename(raw_.c_str(), merging_.c_str()) != 0) {
            if (errno == ENOENT)
                continue;
            return fail("restoreLog", raw_, errno);
        }
        if (mergeIntoClaimed(newer.get()) != 0)
            return -1;
    }
    held_ = false;
    dropNote();
    return 0;
}
