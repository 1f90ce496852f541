#include "RawLogClaim.h"
#include "Drain.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool pathIsDirectory(const std::string& path)
{
    struct stat st;
    return sys.lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

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
    error_ = Status::sysError(stepName(step), path, err);
    return -1;
}

int RawLogClaim::refuse(ClaimStep step, const std::string& path, const std::string& why)
{
    error_ = Status::refused(stepName(step), path, why);
    return -1;
}

RawLogClaim::Result RawLogClaim::acquire()
{
    // A writer that opens a file we hold a lease on makes the kernel send
    // SIGIO, whose default action would end the run.
    signal(SIGIO, SIG_IGN);
    if (checkStateDir() != 0 || (!lockFd_.valid() && lock() != 0) || findBacklog() != 0 || resolveNote() != 0 ||
        finishDrain() != 0 || takeUpEarlierCopies() != 0 || claimRawLog() != 0)
        return Failed;
    struct stat st;
    if (backlogFd_.valid() && sys.fstat(backlogFd_.get(), &st) == 0 && st.st_size > consumed_)
        return Claimed;
    return Nothing;
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

    const std::string transit = rawDir + "/.adjtimelog-" + std::to_string(owners_.run) + "." + randomId();
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
