#include "AnalyzeLogFile.h"
#include "Diagnostics.h"
#include "LineParser.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// "/tmp/update_time.log 无 或 空！" (the raw log is absent or empty), GBK.
// The text names the fixed raw log path whatever path the analyzer was given.
static const char kNoRawLog[] = "/tmp/update_time.log \xCE\xDE \xBB\xF2 \xBF\xD5\xA3\xA1";

bool isFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

AnalyzeLogFile::AnalyzeLogFile(const std::string& path) : logPath(path), claim(path)
{
    if (readLog() < 0 && !readFailed_)
        diag(kNoRawLog);
}

AnalyzeLogFile::~AnalyzeLogFile() = default;

// "AnalyzeLogFile::claim /tmp/update_time.log false! Device or resource busy"
static void sayClaimError(const ClaimError& e)
{
    diag("AnalyzeLogFile::" + e.step + " ", e.path,
         std::string(" false! ") + (e.why.empty() ? strerror(e.err) : e.why.c_str()));
}

int AnalyzeLogFile::readLog()
{
    switch (claim.acquire(rawText)) {
    case RawLogClaim::Nothing:
        return -1;
    case RawLogClaim::Failed:
        // Nothing of it is analysed; it waits for the next run.
        sayClaimError(claim.error());
        readFailed_ = true;
        rawText.clear();
        restoreLog();
        return -1;
    case RawLogClaim::Claimed:
        break;
    }

    // Lines end at 0x0A only. A line reader takes one read per line, and one
    // more when the text ends in a line end (that read finds nothing); the
    // text after a final line end is not a line, but a last line without a
    // line end is.
    const char* p = rawText.data();
    const char* end = p + rawText.size();
    for (;;) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl : end;
        rawLines.emplace_back(p, static_cast<size_t>(stop - p));
        if (!nl)
            break;
        p = nl + 1;
    }
    readCount = static_cast<int32_t>(rawLines.size());
    lineCount = rawLines.back().empty() ? readCount - 1 : readCount;
    return 0;
}

int AnalyzeLogFile::analyze(std::vector<AdjustTimeInfo>& out) const
{
    if (lineCount <= 0)
        return 0;
    // One query per run: the host name belongs to the machine, not the line.
    std::string host;
    bool hostOk = queryHostName(host);

    out.reserve(out.size() + static_cast<size_t>(lineCount));
    LineParser parser(host, hostOk);
    int rc = 0;
    for (int32_t i = 0; i < lineCount; ++i) {
        AdjustTimeInfo& info = out.emplace_back();
        switch (parser.parse(rawLines[static_cast<size_t>(i)], info)) {
        case LineResult::Record:
            break;
        case LineResult::NoRecord:
            out.pop_back();
            break;
        case LineResult::Rejected:
            out.pop_back();
            diag("AnalyzeLogFile::analyze separateLog false! ");
            rc = -1;  // the lines after it are parsed all the same
            break;
        }
    }
    return rc;
}

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
    return !integerPartIsZero(info.offset) || info.pid.find("step") != std::string::npos;
}

void appendReportLine(std::string& out, const AdjustTimeInfo& info)
{
    out += '[';
    out += info.node;
    out += ':';
    out += info.pid;
    out += "]<<";
    out += info.time;
    out += ">>";
    out += info.serverIp;
    out += " : ";
    out += info.offset;
    out += '\n';
}


int AnalyzeLogFile::write(const std::string& reportPath)
{
    analyze(records);
    if (readFailed_)
        return -1;

    std::string lines;
    for (const AdjustTimeInfo& info : records) {
        if (isNoteworthy(info))
            appendReportLine(lines, info);
    }

    int fd = open(reportPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        diag("AnalyzeLogFile::write ", reportPath, std::string(" false! ") + strerror(errno));
        settle(false);
        return -1;
    }
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // A run killed once the batch is in the report must not make the next
    // run report it again: the claim notes where the batch goes.
    if (regular && !lines.empty() && claim.noteReportDelivery(reportPath, st, lines) != 0) {
        close(fd);
        sayClaimError(claim.error());
        settle(false);
        return -1;
    }
    int rc = writeAll(fd, lines);
    // Lines must be on disk before their only other copy is removed.
    if (rc == 0 && regular && fdatasync(fd) != 0)
        rc = -1;
    if (rc != 0) {
        int saved = errno;
        if (regular && ftruncate(fd, st.st_size) != 0) {
            // The partial lines stay; they are reported again next run.
        }
        close(fd);
        diag("AnalyzeLogFile::write ", reportPath, std::string(" false! ") + strerror(saved));
        settle(false);
        return -1;
    }
    if (close(fd) != 0) {
        diag("AnalyzeLogFile::write ", reportPath, std::string(" false! ") + strerror(errno));
        settle(false);
        return -1;
    }
    settle(true);
    return 0;
}

int AnalyzeLogFile::settle(bool delivered)
{
    return delivered ? deleteLogFile() : restoreLog();
}

int AnalyzeLogFile::deleteLogFile()
{
    if (claim.release() != 0) {
        diag("AnalyzeLogFile::deleteLogFile false!");
        return -1;
    }
    return 0;
}

int AnalyzeLogFile::restoreLog()
{
    if (claim.putBack() != 0) {
        // The lines stay in the claimed copy, which the next run takes up.
        sayClaimError(claim.error());
        return -1;
    }
    return 0;
}
