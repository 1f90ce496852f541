#include "Report.h"
#include "Escape.h"
#include "LineShape.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool integerPartIsZero(std::string_view offset)
{
    size_t i = 0;
    while (i < offset.size() && (offset[i] == ' ' || (offset[i] >= '\t' && offset[i] <= '\r')))
        ++i;
    if (i < offset.size() && (offset[i] == '+' || offset[i] == '-'))
        ++i;
    for (; i < offset.size() && offset[i] >= '0' && offset[i] <= '9'; ++i) {
        if (offset[i] != '0')
            return false;
    }
    return true;
}

bool isNoteworthy(const AdjustTimeInfo& info)
{
    return !integerPartIsZero(info.offset) || findLiteral(info.pid, "step") != std::string_view::npos;
}

void appendReportLine(ByteBuffer& out, const AdjustTimeInfo& info)
{
    // The fields are the line's bytes: escaped, the literals are not.
    const std::string_view parts[] = {"[",  info.node,     ":",   info.pid,    "]<<", info.time,
                                      ">>", info.serverIp, " : ", info.offset, "\n"};
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
        if (i % 2)
            appendEscaped(out, parts[i]);
        else
            out.append(parts[i]);
    }
}

Status ReportFile::open(const std::string& path, uid_t self)
{
    path_ = path;
    std::string why;
    fd_ = Fd(openInDirectory(path, O_WRONLY | O_APPEND | O_CREAT, 0666, self, why));
    // A fresh node has no report directory yet: it is made, as logrotate's
    // createolddir would, where no other user could swap it.
    struct stat dir;
    if (!fd_.valid() && errno == ENOENT && why.empty() && path.front() == '/' &&
        stat(directoryOf(path).c_str(), &dir) != 0 && errno == ENOENT &&
        makeDirectories(directoryOf(path), 0755, self, why) == 0)
        fd_ = Fd(openInDirectory(path, O_WRONLY | O_APPEND | O_CREAT, 0666, self, why));
    if (!fd_.valid())
        return why.empty() ? Status::sysError("write", path, errno) : Status::refused("write", path, why);
    regular_ = sys.fstat(fd_.get(), &before_) == 0 && S_ISREG(before_.st_mode);
    return Status();
}

Status ReportFile::append(std::string_view lines)
{
    int rc = writeAll(fd_.get(), lines);
    // Lines must be on disk before the backlog drops them.
    if (rc == 0 && regular_ && fdatasync(fd_.get()) != 0)
        rc = -1;
    if (rc != 0) {
        const int err = errno;
        if (regular_ && sys.ftruncate(fd_.get(), before_.st_size) != 0) {
            // The partial lines stay; the delivery note cuts them off next run.
        }
        fd_.reset();
        return Status::sysError("write", path_, err);
    }
    return Status();
}

Status ReportFile::close()
{
    if (sys.close(fd_.release()) != 0)
        return Status::sysError("write", path_, errno);
    return Status();
}
