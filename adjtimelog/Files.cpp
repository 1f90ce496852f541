#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int openLibc(const char* path, int flags, mode_t mode)
{
    return ::open(path, flags, mode);
}

int renameNoReplaceLibc(const char* from, const char* to)
{
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int fcntlLibc(int fd, int cmd, int arg)
{
    return ::fcntl(fd, cmd, arg);
}

}  // namespace

const SysCalls kLibc = {
    openLibc, ::close, ::pread, ::write, ::fsync, ::rename, renameNoReplaceLibc,
    ::unlink, ::mkdir, ::flock, fcntlLibc, ::fstat, ::lstat, ::mmap,
};

SysCalls sys = kLibc;

bool isFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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

int FileText::load(int fd)
{
    clear();
    struct stat st;
    if (sys.fstat(fd, &st) != 0)
        return -1;
    if (S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_size > 0) {
        // MAP_POPULATE maps every page in one call instead of one fault each.
        size_t n = static_cast<size_t>(st.st_size);
        void* p = sys.mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p != MAP_FAILED) {
            map_ = static_cast<const char*>(p);
            mapped_ = size_ = n;
            return 0;
        }
        // A file system that cannot map it is read instead.
    }
    return readFrom(fd, 0, copy_);
}

void FileText::keepFirst(size_t n)
{
    if (map_)
        size_ = n < size_ ? n : size_;
    else if (n < copy_.size())
        copy_.shrinkBy(copy_.size() - n);
}

void FileText::clear()
{
    unmap();
    copy_.clear();
}

void FileText::unmap()
{
    if (map_)
        munmap(const_cast<char*>(map_), mapped_);
    map_ = nullptr;
    mapped_ = size_ = 0;
}

int readFrom(int fd, off_t from, ByteBuffer& out)
{
    struct stat st;
    if (sys.fstat(fd, &st) != 0)
        return -1;
    // As much as the file holds in one piece, then whatever was added meanwhile.
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
            ssize_t n = sys.pread(fd, room + got, chunk - got, at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                int saved = errno;
                out.shrinkBy(out.size() - base);
                errno = saved;
                return -1;
            }
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
            at += n;
        }
        out.shrinkBy(chunk - got);
        if (got < chunk)
            return 0;
        chunk = 0;
    }
}

int replaceFile(const std::string& tmp, const std::string& target, std::string_view text, int likeFd,
                std::string& failedPath)
{
    failedPath = tmp;
    sys.unlink(tmp.c_str());
    Fd fd(sys.open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return -1;
    struct stat like;
    if (likeFd >= 0 && sys.fstat(likeFd, &like) == 0) {
        if (geteuid() == 0 && fchown(fd.get(), like.st_uid, like.st_gid) != 0) {
            // Not fatal: root still owns the lines and the job runs as root.
        }
        fchmod(fd.get(), like.st_mode & 0666);
    }
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

bool pathExists(const std::string& path)
{
    struct stat st;
    return sys.lstat(path.c_str(), &st) == 0;
}

bool isLink(const std::string& path)
{
    struct stat st;
    return sys.lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
