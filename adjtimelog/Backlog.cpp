// The backlog: claimed lines waiting for delivery, in batches, oldest first.
#include "DeliveryNote.h"
#include "RawLogClaim.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char kBacklogPrefix[] = "backlog.";

}  // namespace

// The backlog left by earlier runs, and how much of it was delivered.
int RawLogClaim::findBacklog()
{
    DIR* d = opendir(dir_.c_str());
    if (!d)
        return fail(ClaimStep::Claim, dir_, errno);
    while (struct dirent* e = readdir(d)) {
        if (strncmp(e->d_name, kBacklogPrefix, sizeof kBacklogPrefix - 1) == 0) {
            backlogId_ = e->d_name + sizeof kBacklogPrefix - 1;
            break;
        }
    }
    closedir(d);
    if (backlogId_.empty())
        return 0;
    if (openBacklog() != 0)
        return -1;
    std::string text;
    consumed_ = 0;
    if (readSmallFile(consumedPath_, text)) {
        char id[64] = {};
        long long at = 0;
        if (sscanf(text.c_str(), "%63s %lld", id, &at) == 2 && backlogId_ == id && at > 0)  // NOLINT(cert-err34-c)
            consumed_ = static_cast<off_t>(at);
    }
    return 0;
}

std::string RawLogClaim::backlogPath() const
{
    return dir_ + "/" + kBacklogPrefix + backlogId_;
}

// Opens the backlog named backlogId_, creating it when missing.
int RawLogClaim::openBacklog()
{
    std::string path = backlogPath();
    backlogFd_ = Fd(sys.open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!backlogFd_.valid())
        return fail(ClaimStep::Claim, path, errno);
    return 0;
}

int RawLogClaim::writeConsumed()
{
    std::string text = backlogId_ + " " + std::to_string(static_cast<long long>(consumed_)) + "\n";
    std::string failed;
    if (replaceFile(stagingPath_, consumedPath_, text, failed) != 0)
        return fail(ClaimStep::DeleteLogFile, failed, errno);
    return 0;
}

// A note left by a log run killed after its batch reached the report: when
// the report holds the batch where the note says, the backlog drops it; a
// part of the batch at the report's end goes, and the lines are reported
// whole. A note that does not check out leaves the lines to be reported.
int RawLogClaim::resolveNote()
{
    std::string text;
    DeliveryNote n;
    if (!readSmallFile(notePath_, text))
        return 0;
    if (parseNote(text, n) && !n.earlier) {
        if (!reportHolds(n, owners_.run)) {
            cutPartialBatch(n, owners_.run);
        } else if (n.backlog == backlogId_ && static_cast<unsigned long long>(consumed_) == n.from) {
            batchFrom_ = consumed_;
            batchTo_ = static_cast<off_t>(n.to);
            if (settle(true) != 0)
                return -1;
        }
    }
    sys.unlink(notePath_.c_str());
    return 0;
}

RawLogClaim::Result RawLogClaim::nextBatch(FileText& text)
{
    text.clear();
    struct stat st;
    if (!backlogFd_.valid())
        return Nothing;
    if (sys.fstat(backlogFd_.get(), &st) != 0) {
        fail(ClaimStep::ReadLog, backlogPath(), errno);
        return Failed;
    }
    if (st.st_size <= consumed_)
        return Nothing;
    off_t to = st.st_size - consumed_ > static_cast<off_t>(limits_.batchBytes)
                   ? consumed_ + static_cast<off_t>(limits_.batchBytes)
                   : st.st_size;
    if (text.load(backlogFd_.get(), consumed_, to) != 0) {
        fail(ClaimStep::ReadLog, backlogPath(), errno);
        return Failed;
    }
    if (to < st.st_size) {
        // Whole lines only: no line is longer than a batch.
        const char* nl = static_cast<const char*>(memrchr(text.data(), '\n', text.size()));
        size_t keep = nl ? static_cast<size_t>(nl - text.data() + 1) : text.size();
        text.keepFirst(keep);
        to = consumed_ + static_cast<off_t>(keep);
    }
    batchFrom_ = consumed_;
    batchTo_ = to;
    // A batch sent before whose outcome was never heard keeps its identity
    // and its end, whatever was claimed since.
    identity_.clear();
    identityNoted_ = false;
    std::string note;
    char id[40] = {}, backlog[64] = {};
    long long from = 0, end = 0;
    if (readSmallFile(sentPath_, note) &&
        sscanf(note.c_str(), "%39s %63s %lld %lld", id, backlog, &from, &end) == 4 &&  // NOLINT(cert-err34-c)
        backlogId_ == backlog && from == batchFrom_ && end > from && end <= batchTo_) {
        text.keepFirst(static_cast<size_t>(end - from));
        batchTo_ = static_cast<off_t>(end);
        identity_ = id;
        identityNoted_ = true;
    }
    return Claimed;
}

long long RawLogClaim::waitingBytes() const
{
    struct stat st;
    if (!backlogFd_.valid() || sys.fstat(backlogFd_.get(), &st) != 0 || st.st_size <= consumed_)
        return 0;
    return static_cast<long long>(st.st_size - consumed_);
}

int RawLogClaim::identifyBatch(std::string& identity)
{
    if (identity_.empty()) {
        std::string id = randomId() + randomId();
        std::string text = id + " " + backlogId_ + " " + std::to_string(static_cast<long long>(batchFrom_)) + " " +
                           std::to_string(static_cast<long long>(batchTo_)) + "\n";
        std::string failed;
        if (replaceFile(stagingPath_, sentPath_, text, failed) != 0 || syncDirectory(dir_) != 0)
            return fail(ClaimStep::Write, failed.empty() ? dir_ : failed, errno);
        identity_ = id;
    }
    identity = identity_;
    return 0;
}

std::string RawLogClaim::batchId() const
{
    return backlogId_ + " " + std::to_string(static_cast<long long>(batchFrom_));
}

int RawLogClaim::noteReportDelivery(const std::string& reportPath, const struct stat& reportBefore,
                                    std::string_view batch)
{
    DeliveryNote n = noteFor(reportPath, reportBefore, batch);
    n.backlog = backlogId_;
    n.from = static_cast<unsigned long long>(batchFrom_);
    n.to = static_cast<unsigned long long>(batchTo_);
    std::string failed;
    if (replaceFile(stagingPath_, notePath_, formatNote(n), failed) != 0)
        return fail(ClaimStep::Write, notePath_, errno);
    return 0;
}

int RawLogClaim::settle(bool delivered)
{
    if (!delivered || backlogId_.empty() || batchTo_ <= consumed_)
        return 0;
    consumed_ = batchTo_;
    struct stat st;
    const std::string backlog = backlogPath();
    if (sys.fstat(backlogFd_.get(), &st) != 0)
        return fail(ClaimStep::DeleteLogFile, backlog, errno);
    if (consumed_ < st.st_size) {
        if (writeConsumed() != 0)
            return -1;
    } else {
        // Everything delivered: the backlog goes before its offset does, so
        // that no crash leaves a backlog whose delivered lines look new.
        if (sys.unlink(backlog.c_str()) != 0)
            return fail(ClaimStep::DeleteLogFile, backlog, errno);
        sys.unlink(consumedPath_.c_str());
        backlogFd_.reset();
        backlogId_.clear();
        consumed_ = batchFrom_ = batchTo_ = 0;
        syncDirectory(dir_);
    }
    sys.unlink(notePath_.c_str());
    sys.unlink(sentPath_.c_str());
    identity_.clear();
    identityNoted_ = false;
    return 0;
}
