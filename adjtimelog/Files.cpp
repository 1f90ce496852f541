#include "Files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

int openLibc(const char* path, int flags, mode_t mode)
{
    return ::open(path, flags, mode);
}

int openatLibc(int dirfd, const char* name, int flags, mode_t mode)
{
    return ::openat(dirfd, name, flags, mode);
}

int fcntlLibc(int fd, int cmd, int arg)
{
    return ::fcntl(fd, cmd, arg);
}

}  // namespace

const SysCalls kLibc = {
    openLibc, openatLibc, ::close, ::pread, ::write,   ::fsync, ::ftruncate, ::lseek, ::rename,
    ::unlink, ::mkdir,    ::rmdir, ::flock, fcntlLibc, ::fstat, ::lstat,     ::mmap,  ::unlinkat,
};

SysCalls sys = kLibc;

bool isFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int writeAll(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = sys.write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int FileText::load(int fd, off_t from, off_t to)
{
    clear();
    if (to <= from)
        return 0;
    // Mappings start at a page: map from the page that holds from.
    off_t page = static_cast<off_t>(sysconf(_SC_PAGESIZE));
    off_t start = from - from % page;
    size_t n = static_cast<size_t>(to - start);
    // MAP_POPULATE maps every page in one call instead of one fault each.
    void* p = sys.mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, start);
    if (p != MAP_FAILED) {
        map_ = p;
        mapped_ = n;
        view_ = static_cast<const char*>(p) + (from - start);
        size_ = static_cast<size_t>(to - from);
        return 0;
    }
    // A file system that cannot map it: read the stretch instead.
    copy_.resize(static_cast<size_t>(to - from));
    char* room = &copy_[0];
    size_t got = 0;
    while (got < static_cast<size_t>(to - from)) {
        ssize_t r = sys.pread(fd, room + got, static_cast<size_t>(to - from) - got, from + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            int err = r == 0 ? EIO : errno;  // shorter than it was: not ours alone after all
            copy_.clear();
            errno = err;
            return -1;
        }
        got += static_cast<size_t>(r);
    }
    return 0;
}

void FileText::keepFirst(size_t n)
{
    if (map_)
        size_ = n < size_ ? n : size_;
    else if (n < copy_.size())
        copy_.resize(n);
}

void FileText::clear()
{
    unmap();
    copy_.clear();
}

void FileText::unmap()
{
    if (map_)
        munmap(map_, mapped_);
    map_ = nullptr;
    mapped_ = 0;
    view_ = nullptr;
    size_ = 0;
}

int readFrom(int fd, off_t from, std::string& out)
{
    const size_t base = out.size();
    char chunk[65536];
    for (off_t at = from;;) {
        ssize_t n = sys.pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int saved = errno;
            out.resize(base);
            errno = saved;
            return -1;
        }
        if (n == 0)
            return 0;
        out.append(chunk, static_cast<size_t>(n));
        at += n;
    }
}

bool readSmallFile(const std::string& path, std::string& text)
{
    Fd fd(sys.open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    text.clear();
    return fd.valid() && readFrom(fd.get(), 0, text) == 0;
}

int replaceFile(const std::string& tmp, const std::string& target, std::string_view text, std::string& failedPath,
                mode_t mode)
{
    failedPath = tmp;
    sys.unlink(tmp.c_str());
    Fd fd(sys.open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() || (mode != 0600 && fchmod(fd.get(), mode) != 0))
        return -1;
    if (writeAll(fd.get(), text) != 0 || sys.fsync(fd.get()) != 0) {
        int err = errno;
        fd.reset();
        sys.unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    fd.reset();
    if (sys.rename(tmp.c_str(), target.c_str()) != 0) {
        int err = errno;
        sys.unlink(tmp.c_str());
        failedPath = target;
        errno = err;
        return -1;
    }
    return 0;
}

int syncDirectory(const std::string& path)
{
    Fd dir(sys.open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!dir.valid() || sys.fsync(dir.get()) != 0)
        return -1;
    return 0;
}

const char* kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

namespace {

// What a directory's owner and mode let other users do in it: nothing
// (only the run's user and root write there), or write in it under the
// sticky bit, or swap anything in it.
enum class DirTrust { Private, Sticky, Open };

DirTrust trustOf(const struct stat& st, uid_t self)
{
    bool othersWrite =
        (st.st_uid != self && st.st_uid != 0) || (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    if (!othersWrite)
        return DirTrust::Private;
    return (st.st_mode & S_ISVTX) ? DirTrust::Sticky : DirTrust::Open;
}

std::string describeDirectory(const std::string& dirPath, const struct stat& st)
{
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "its directory " + dirPath + " (uid " + std::to_string(st.st_uid) + ", mode " + octal + ")";
}

}  // namespace

int openGuarded(int dirfd, const char* name, int flags, mode_t mode, const Owners& owners, std::string& why)
{
    why.clear();
    const int opened = (flags & ~(O_CREAT | O_EXCL)) | O_NONBLOCK | O_CLOEXEC;
    int fd = sys.openat(dirfd, name, opened | O_NOFOLLOW, 0);
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT)) {
        fd = sys.openat(dirfd, name, opened | O_NOFOLLOW | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST)  // made meanwhile: look at what it is
            fd = sys.openat(dirfd, name, opened | O_NOFOLLOW, 0);
    }
    if (fd < 0 && errno == ELOOP) {
        // A symbolic link: followed only where the kernel's rule for sticky
        // directories would follow it, and never to create a file.
        struct stat link, dir;
        if (fstatat(dirfd, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || sys.fstat(dirfd, &dir) != 0)
            return -1;
        if (!S_ISLNK(link.st_mode)) {
            errno = ELOOP;
            return -1;
        }
        if (link.st_uid != owners.run && link.st_uid != dir.st_uid) {
            why = "a symbolic link of uid " + std::to_string(link.st_uid) + " in a directory of uid " +
                  std::to_string(dir.st_uid);
            return -1;
        }
        fd = sys.openat(dirfd, name, opened, 0);
    }
    if (fd < 0)
        return -1;
    struct stat st;
    if (sys.fstat(fd, &st) != 0) {
        int err = errno;
        sys.close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode))
        why = kindOf(st.st_mode);
    else if (st.st_nlink != 1)
        why = "a file with " + std::to_string(st.st_nlink) + " links";
    else if (!owners.has(st.st_uid))
        why = "a file of uid " + std::to_string(st.st_uid);
    if (why.empty())
        return fd;
    sys.close(fd);
    return -1;
}

int openInDirectory(const std::string& path, int flags, mode_t mode, uid_t self, std::string& why)
{
    why.clear();
    std::string dirPath = directoryOf(path);
    Fd dir(sys.open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    struct stat st;
    if (!dir.valid() || sys.fstat(dir.get(), &st) != 0)
        return -1;
    std::string name = baseName(path);
    switch (trustOf(st, self)) {
    case DirTrust::Private:
        return sys.openat(dir.get(), name.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    case DirTrust::Open:
        why = describeDirectory(dirPath, st) + " may be written by other users and is not sticky";
        return -1;
    case DirTrust::Sticky:
        break;
    }
    return openGuarded(dir.get(), name.c_str(), flags, mode, Owners{self}, why);
}

// Sixteen hex digits nobody can guess, for names in /tmp and the backlog's.
std::string randomId()
{
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // A kernel without getrandom still has the device; failing both, the
        // name is only unique (every name is made with O_EXCL or mkdir).
        Fd dev(sys.open("/dev/urandom", O_RDONLY | O_CLOEXEC, 0));
        if (!dev.valid() || sys.pread(dev.get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
            static unsigned counter = 0;
            unsigned long long mix =
                (static_cast<unsigned long long>(getpid()) << 32) ^ ++counter ^ reinterpret_cast<uintptr_t>(&mix);
            memcpy(bytes, &mix, sizeof bytes);
        }
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

int publishFile(const std::string& path, std::string_view text, mode_t mode, uid_t self, bool ownDirectory,
                std::string& why)
{
    why.clear();
    const std::string dirPath = directoryOf(path), name = baseName(path);
    Fd dir(sys.open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    struct stat st;
    if (!dir.valid() || sys.fstat(dir.get(), &st) != 0) {
        why = dirPath + ": " + strerror(errno);
        return -1;
    }
    DirTrust trust = trustOf(st, self);
    if (trust == DirTrust::Open) {
        why = describeDirectory(dirPath, st) + " may be written by other users and is not sticky";
        return -1;
    }
    if (ownDirectory && st.st_uid != self && st.st_uid != 0) {
        why = describeDirectory(dirPath, st) + " belongs to another user";
        return -1;
    }
    if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) &&
        !S_ISLNK(st.st_mode)) {
        why = path + ": " + kindOf(st.st_mode) + " stands there: remove it";
        return -1;
    }
    // A name nobody can guess beforehand, made new: nothing planted is
    // opened, and a reader sees the old file or the whole new one.
    std::string tmp;
    Fd fd;
    for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
        tmp = "." + name + "." + randomId() + ".tmp";
        fd = Fd(sys.openat(dir.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid() && errno != EEXIST)
            break;
    }
    if (!fd.valid()) {
        why = dirPath + "/" + tmp + ": " + strerror(errno);
        return -1;
    }
    if (fchmod(fd.get(), mode) != 0 || writeAll(fd.get(), text) != 0 || sys.fsync(fd.get()) != 0 ||
        renameat(dir.get(), tmp.c_str(), dir.get(), name.c_str()) != 0) {
        why = path + ": " + strerror(errno);
        unlinkat(dir.get(), tmp.c_str(), 0);
        return -1;
    }
    sys.fsync(dir.get());
    return 0;
}

int makeDirectories(const std::string& path, mode_t mode, uid_t self, std::string& why)
{
    why.clear();
    Fd at(sys.open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    std::string done;
    for (size_t from = 0; at.valid() && from < path.size();) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string name = path.substr(from, slash - from);
        from = slash + 1;
        if (name.empty() || name == ".")
            continue;
        std::string here = done;
        here.append("/").append(name);
        const bool last = path.find_first_not_of('/', slash) == std::string::npos;
        Fd next(sys.openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (!next.valid() && errno == ENOENT) {
            // Made only where no other user could swap it for a link.
            struct stat st;
            if (sys.fstat(at.get(), &st) == 0 && trustOf(st, self) == DirTrust::Open) {
                why = describeDirectory(done.empty() ? "/" : done, st) +
                      " may be written by other users and is not sticky";
                return -1;
            }
            if (mkdirat(at.get(), name.c_str(), last ? mode : 0755) == 0 || errno == EEXIST)
                next = Fd(sys.openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
        }
        if (!next.valid()) {
            why = here + ": " + strerror(errno);
            return -1;
        }
        done = here;
        at = std::move(next);
    }
    if (!at.valid()) {
        why = std::string("/: ") + strerror(errno);
        return -1;
    }
    return 0;
}
