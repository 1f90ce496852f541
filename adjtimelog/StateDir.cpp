// The run's state directory and its lock.
#include "BuildSettings.h"
#include "RawLogClaim.h"
#include "RunContext.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

std::string stateDirectory(const std::string& rawPath, const char* stateDirectoryEnv, uid_t user)
{
    // systemd's StateDirectory=: colon-separated when a unit has several.
    if (stateDirectoryEnv && stateDirectoryEnv[0] == '/') {
        std::string all = stateDirectoryEnv;
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
    if (user == 0)
        return ADJTIMELOG_STATE_DIR;
    return directoryOf(rawPath) + "/.adjtimelog-" + std::to_string(user);
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
            (errno != ENOENT || makeDirectories(dir_, 0700, owners_.run, why) != 0))
            return why.empty() ? fail(ClaimStep::Claim, dir_, errno) : refuse(ClaimStep::Claim, dir_, why);
        if (sys.lstat(dir_.c_str(), &st) != 0)
            return fail(ClaimStep::Claim, dir_, errno);
    }
    if (S_ISDIR(st.st_mode) && st.st_uid == owners_.run && (st.st_mode & 077) != 0 && chmod(dir_.c_str(), 0700) == 0)
        st.st_mode = (st.st_mode & ~07777u) | 0700;
    if (!S_ISDIR(st.st_mode) || st.st_uid != owners_.run || (st.st_mode & 077) != 0)
        return refuse(ClaimStep::Claim, dir_,
                      "not a private directory (a directory of uid " + std::to_string(owners_.run) +
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
