// The files room: an owning descriptor, whole writes and reads, the one rule
// for opening files where other users can write, and the system calls the
// raw-log claim makes, through one table of function pointers. The table
// defaults to libc; a unit test swaps an entry to fail one call and checks
// the error path it takes.
#pragma once

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int dirfd, const char* name, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void* buf, size_t n, off_t at);
    ssize_t (*write)(int fd, const void* buf, size_t n);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t size);
    off_t (*lseek)(int fd, off_t at, int whence);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    int (*flock)(int fd, int op);
    int (*fcntl)(int fd, int cmd, int arg);
    int (*fstat)(int fd, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
    void* (*mmap)(void* at, size_t n, int prot, int flags, int fd, off_t offset);
    int (*unlinkat)(int dirfd, const char* name, int flags);
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
    // Hands the descriptor over; it is no longer closed here.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
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
int readFrom(int fd, off_t from, std::string& out);

// A stretch of a file of this run's own, mapped read-only (no copy, no page
// touched twice); where the file system cannot map it, read into memory.
// Only files nobody else can shorten are loaded (the claim's backlog): a
// page past the end of a mapping ends the run with SIGBUS.
class FileText {
public:
    FileText() = default;
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    ~FileText() { unmap(); }

    // Loads the bytes from..to of the file open as fd; 0, or -1 with errno
    // (the text is then empty).
    int load(int fd, off_t from, off_t to);
    std::string_view view() const { return map_ ? std::string_view(view_, size_) : std::string_view(copy_); }
    size_t size() const { return view().size(); }
    bool empty() const { return size() == 0; }
    const char* data() const { return view().data(); }
    // Keeps only the first n bytes.
    void keepFirst(size_t n);
    void clear();

private:
    void unmap();
    void* map_ = nullptr;
    size_t mapped_ = 0;
    const char* view_ = nullptr;
    size_t size_ = 0;
    std::string copy_;
};

// The whole of a small file of the run's own (not through a link); false
// when there is none or it cannot be read.
bool readSmallFile(const std::string& path, std::string& text);

// Writes text to a new file at tmp (a leftover there is only a name), syncs
// it and renames it over target: the target is the old text or the new,
// never a mix; mode 0600 unless said. 0, or -1 with errno and the path
// whose call failed in failedPath.
int replaceFile(const std::string& tmp, const std::string& target, std::string_view text, std::string& failedPath,
                mode_t mode = 0600);

// Syncs the directory at path, so that the names made and removed in it
// outlive a crash. 0, or -1 with errno.
int syncDirectory(const std::string& path);

// True when path names a regular file; symbolic links are followed.
bool isFile(const std::string& path);

// The users whose files a run takes where other users can write: its own
// user and, for the raw log, the user of the time job (none: -1).
struct Owners {
    uid_t run;
    uid_t job = static_cast<uid_t>(-1);
    bool has(uid_t uid) const { return uid == run || uid == job; }
};

// The one rule for a file in a directory that other users can write (the
// raw log in /tmp; a report beside other users' files), whatever the
// kernel's protected_symlinks and protected_regular say: a symbolic link is
// followed only when it belongs to the run's user or to the directory's
// owner; what is opened must be a regular file with one link, owned by one
// of owners; with O_CREAT a missing file is created, never through a link.
// Opening never blocks (O_NONBLOCK: a FIFO opens at once and is refused).
// Returns the descriptor; -1 with errno when it could not be opened (ENOENT:
// nothing there), or -1 with why saying what stands there when it is
// refused (the object is left as it is).
int openGuarded(int dirfd, const char* name, int flags, mode_t mode, const Owners& owners, std::string& why);

// Opens the file at path as its directory allows. A directory that only
// the run's user and root can write is trusted: the file is opened as
// asked (links followed, created with O_CREAT). One that others can write
// is used only when it has the sticky bit (as /tmp), and then by the rule
// of openGuarded for the run's own files; without it the file is refused,
// as logrotate refuses an insecure parent directory. self is the run's
// user. Returns as openGuarded.
int openInDirectory(const std::string& path, int flags, mode_t mode, uid_t self, std::string& why);

// Writes a whole file that a user names (a page, the metrics) without
// trusting what stands at its name: text goes to a new file of an
// unguessable name in path's directory (O_EXCL, no link followed), is
// synced, given mode and renamed over path, so that path holds the old
// file or the whole new one and a link planted there is replaced, its
// target never written. A FIFO, device, socket or directory at path, and a
// directory others may write without the sticky bit, are refused; with
// ownDirectory also a directory of another user than the run's (self) or
// root. 0, or -1 with why saying what failed.
int publishFile(const std::string& path, std::string_view text, mode_t mode, uid_t self, bool ownDirectory,
                std::string& why);

// Makes the absolute directory path with mode, and the directories on its
// way that are missing (0755), never in a directory that other users may
// write without the sticky bit (self: the run's user). 0, or -1 with why
// saying what failed.
int makeDirectories(const std::string& path, mode_t mode, uid_t self, std::string& why);

// Sixteen hex digits nobody can guess, for names in shared directories.
std::string randomId();

// What stands at a name that is not a regular file: "a directory", "a
// FIFO", "a socket", "a device".
const char* kindOf(mode_t mode);

// The directory part of path ("." for none, "/" for the root).
std::string directoryOf(const std::string& path);
// The last part of path.
std::string baseName(const std::string& path);
