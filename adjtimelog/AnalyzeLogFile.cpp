#include "AnalyzeLogFile.h"
#include "Diagnostics.h"
#include "LineParser.h"
#include "Report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// "/tmp/update_time.log 无 或 空！" (the raw log is absent or empty), GBK.
// The text names the fixed raw log path whatever path the analyzer was given.
static const char kNoRawLog[] = "/tmp/update_time.log \xCE\xDE \xBB\xF2 \xBF\xD5\xA3\xA1";

AnalyzeLogFile::AnalyzeLogFile(const std::string& path) : logPath(path), claim(path)
{
    if (readLog() < 0 && !readError)
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
        readError = true;
        rawText.clear();
        restoreLog();
        return -1;
    case RawLogClaim::Claimed:
        break;
    }
    return 0;
}

int AnalyzeLogFile::analyze(std::vector<AdjustTimeInfo>& out) const
{
    return parseLines(&out, nullptr);
}

// Lines end at 0x0A only; the text after a final line end is not a line,
// but a last line without a line end is.
int AnalyzeLogFile::parseLines(std::vector<AdjustTimeInfo>* out, ByteBuffer* report) const
{
    std::string_view text = rawText.view();
    if (text.empty())
        return 0;
    if (!hostAsked) {
        // One query per run: the host name belongs to the machine, not the line.
        hostOk = queryHostName(host);
        hostAsked = true;
    }
    // Room for a record per line of typical length, touched only as used;
    // a raw log of millions of lines grows the vector beyond it.
    if (out)
        out->reserve(out->size() + std::min<size_t>(text.size() / 48 + 1, size_t(4) << 20));
    LineParser parser(host, hostOk, &made);
    AdjustTimeInfo info;
    int rc = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl : end;
        std::string_view line(p, static_cast<size_t>(stop - p));
        p = nl ? nl + 1 : end;
        Arena::Mark mark = made.mark();
        switch (parser.parse(line, info)) {
        case LineResult::Record:
            if (out) {
                out->push_back(info);
            } else {
                if (isNoteworthy(info))
                    appendReportLine(*report, info);
                made.rewind(mark);  // the line holds what the record made
            }
            break;
        case LineResult::NoRecord:
            break;
        case LineResult::Rejected:
            diag("AnalyzeLogFile::analyze separateLog false! ");
            rc = -1;  // the lines after it are parsed all the same
            break;
        }
    }
    return rc;
}

int AnalyzeLogFile::write(const std::string& reportPath)
{
    // The report lines of the records are made as the lines are parsed:
    // no record is kept for them. Those of earlier calls stay and are
    // written again, as they would be from kept records.
    parseLines(nullptr, &reportLines);
    if (readError)
        return -1;
    std::string_view lines = reportLines.view();

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
