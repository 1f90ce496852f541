// The files room: an owning descriptor, whole writes and reads, and the
// system calls the raw-log claim makes, through one table of function
// pointers. The table defaults to libc; a unit test swaps an entry to fail
// one call and checks the error path it takes.
#pragma once

#include "ByteBuffer.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void* buf, size_t n, off_t at);
    ssize_t (*write)(int fd, const void* buf, size_t n);
    int (*fsync)(int fd);
    int (*rename)(const char* from, const char* to);
    // rename that fails with EEXIST instead of replacing the target
    int (*renameNoReplace)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*flock)(int fd, int op);
    int (*fcntl)(int fd, int cmd, int arg);
    int (*fstat)(int fd, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
    void* (*mmap)(void* at, size_t n, int prot, int flags, int fd, off_t offset);
};

extern SysCalls sys;
extern const SysCalls kLibc;

// A file descriptor that is closed with its owner.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            sys.close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Writes all of text; 0, or -1 with errno.
int writeAll(int fd, std::string_view text);

// Appends the file behind fd from offset from to its end; 0, or -1 with
// errno (out is as it was).
int readFrom(int fd, off_t from, ByteBuffer& out);

// The bytes of a whole file as they stood when it was loaded. A file of this
// process's own user is mapped read-only (no copy, no page touched twice);
// another's is read into memory, since its owner could cut it short under
// the mapping, and touching a page past its end ends the run with SIGBUS.
class FileText {
public:
    FileText() = default;
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    ~FileText() { unmap(); }

    // Loads the file open as fd; 0, or -1 with errno (the text is then empty).
    int load(int fd);
    std::string_view view() const { return map_ ? std::string_view(map_, size_) : copy_.view(); }
    size_t size() const { return view().size(); }
    bool empty() const { return size() == 0; }
    const char* data() const { return view().data(); }
    // Keeps only the first n bytes.
    void keepFirst(size_t n);
    void clear();

private:
    void unmap();
    const char* map_ = nullptr;
    size_t mapped_ = 0;
    size_t size_ = 0;
    ByteBuffer copy_;
};

// Writes text to a new file at tmp (a leftover there is only a name), syncs
// it and renames it over target. The new file takes the owner and mode of
// the file open as likeFd (none when -1). 0, or -1 with errno and the path
// whose call failed in failedPath.
int replaceFile(const std::string& tmp, const std::string& target, std::string_view text, int likeFd,
                std::string& failedPath);

// True when path names a regular file; symbolic links are followed.
bool isFile(const std::string& path);

// Something stands at path (a link counts, whatever it points to).
bool pathExists(const std::string& path);
bool isLink(const std::string& path);
