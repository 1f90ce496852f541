#include "tally.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

long long lockedFor(const Tally& t, long long now)
{
    if (t.failures < kTallyDeny || now < t.last || now - t.last >= kTallyUnlock)
        return 0;
    return kTallyUnlock - (now - t.last);
}

Tally afterFailure(Tally t, long long now)
{
    bool stale = now < t.last || now - t.last >= kTallyInterval || (t.failures >= kTallyDeny && lockedFor(t, now) == 0);
    if (stale || t.failures < 0)
        t.failures = 0;
    ++t.failures;
    t.last = now;
    return t;
}

Tally parseTally(std::string_view text)
{
    std::string s(text);
    const char* p = s.c_str();
    char* end = nullptr;
    errno = 0;
    long long failures = strtoll(p, &end, 10);
    bool ok = end != p && *end == ' ';
    p = end;
    long long last = strtoll(p, &end, 10);
    ok = ok && end != p && errno == 0 && strcmp(end, "\n") == 0 && failures >= 0 && failures <= 1000000;
    return ok ? Tally{static_cast<int>(failures), last} : Tally{};
}

std::string formatTally(const Tally& t)
{
    // Always the same width, so that one write replaces the whole record.
    char buf[48];
    int n = snprintf(buf, sizeof buf, "%10d %20lld\n", t.failures, t.last);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

long long tallyClock()
{
    struct timespec ts {};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<long long>(ts.tv_sec);
}

TallyFile::~TallyFile()
{
    if (fd_ >= 0)
        close(fd_);  // and with it the lock
}

int TallyFile::fail(const std::string& path, const char* reason)
{
    why_ = path + ": " + reason;
    return -1;
}

int TallyFile::open(const std::string& dir, uid_t uid)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(dir, strerror(errno));
    int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (d < 0)
        return fail(dir, strerror(errno));
    struct stat st;
    bool rootsAlone = fstat(d, &st) == 0 && st.st_uid == 0 && (st.st_mode & 022) == 0;
    std::string path = dir + "/" + std::to_string(uid);
    int fd = rootsAlone ? openat(d, std::to_string(uid).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    int err = errno;
    close(d);
    if (!rootsAlone)
        return fail(dir, "not a directory that only root can write");
    if (fd < 0)
        return fail(path, strerror(err));
    fd_ = fd;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || st.st_nlink != 1)
        return fail(path, "not a plain file of root's");
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail(path, strerror(errno));
    }
    return 0;
}

Tally TallyFile::read() const
{
    char buf[64];
    ssize_t n = pread(fd_, buf, sizeof buf, 0);
    return n > 0 ? parseTally(std::string_view(buf, static_cast<size_t>(n))) : Tally{};
}

int TallyFile::write(const Tally& t)
{
    std::string text = formatTally(t);
    return pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) ? 0 : -1;
}
