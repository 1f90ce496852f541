#include "AnalyzeLogFile.h"
#include "BuildSettings.h"
#include "ClassicLine.h"
#include "Diagnostics.h"
#include "Escape.h"
#include "LineParser.h"
#include "LineShape.h"
#include "Metrics.h"
#include "Report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// "/tmp/update_time.log 无 或 空！" (the raw log is absent or empty), GBK.
// The text names the fixed raw log path whatever path the analyzer was given.
static const char kNoRawLog[] = "/tmp/update_time.log \xCE\xDE \xBB\xF2 \xBF\xD5\xA3\xA1";
// The same in UTF-8, for the journal.
static const char kNoRawLogUtf8[] = "/tmp/update_time.log \xE6\x97\xA0 \xE6\x88\x96 \xE7\xA9\xBA\xEF\xBC\x81";

AnalyzeLogFile::AnalyzeLogFile(const std::string& path) : AnalyzeLogFile(observeRun(path)) {}

AnalyzeLogFile::AnalyzeLogFile(const RunContext& run, const RawLogClaim::Limits& limits)
    : run_(run), runTimeText(localTimeText(run_.now)), facts{run_.host, run_.hostOk, runTimeText},
      claim(run_.rawLog, run_.stateDir, run_.owners, limits)
{
    if (readLog() < 0 && !readError)
        diag(chinese(kNoRawLog, kNoRawLogUtf8));
}

AnalyzeLogFile::~AnalyzeLogFile() = default;

static void sayNotes(const Notes& notes)
{
    for (Note note : notes)
        diag(noteText(note));
}

int AnalyzeLogFile::separateLog(const std::string& line, AdjustTimeInfo& info)
{
    const RunContext run = observeRun(ADJTIMELOG_RAW_LOG);
    return separateLog(line, run.host, run.hostOk, run.now, info);
}

int AnalyzeLogFile::separateLog(std::string_view line, std::string_view host, bool hostOk, time_t now,
                                AdjustTimeInfo& info)
{
    const std::string nowText = localTimeText(now);
    Notes notes;
    int rc =
        parseClassicLine(line, findLiteral(line, "ntpdate"), RunFacts{host, hostOk, nowText}, info, nullptr, notes);
    sayNotes(notes);
    return rc;
}

// What failed, told the operator as the analyzer's own:
// "AnalyzeLogFile::claim /tmp/update_time.log false! Device or resource busy"
static void tell(const Status& s)
{
    diag(s.line("AnalyzeLogFile"));
}

int AnalyzeLogFile::readLog()
{
    RawLogClaim::Result r = claim.acquire();
    for (const std::string& notice : claim.notices())
        fprintf(stderr, "AnalyzeLogFile::readLog %s\n", escaped(notice).c_str());
    if (claim.dropped().lines > 0) {
        // "AnalyzeLogFile::readLog /tmp/update_time.log false! 1 line longer than 65536 bytes dropped (70000 bytes)"
        char words[128];
        snprintf(words, sizeof words, "%zu line%s longer than %zu bytes dropped (%llu bytes)", claim.dropped().lines,
                 claim.dropped().lines == 1 ? "" : "s", claim.lineBytes(), claim.dropped().bytes);
        tell(Status::refused("readLog", run_.rawLog, words));
    }
    switch (r) {
    case RawLogClaim::Nothing:
        return -1;
    case RawLogClaim::Failed:
        // Nothing is analysed; what waits is kept for the next run.
        tell(claim.error());
        readError = true;
        return -1;
    case RawLogClaim::Claimed:
        break;
    }
    return nextBatch() ? 0 : -1;
}

bool AnalyzeLogFile::nextBatch()
{
    made.clear();
    rawText.clear();
    if (readError)
        return false;  // nothing is delivered while the claim fails
    RawLogClaim::Result r = claim.nextBatch(rawText);
    if (r == RawLogClaim::Failed) {
        tell(claim.error());
        readError = true;
    }
    return r == RawLogClaim::Claimed;
}

int AnalyzeLogFile::analyze(std::vector<AdjustTimeInfo>& out, std::vector<std::string_view>* lines)
{
    return parseLines(&out, lines, nullptr);
}

// Lines end at 0x0A only; the text after a final line end is not a line,
// but a last line without a line end is.
int AnalyzeLogFile::parseLines(std::vector<AdjustTimeInfo>* out, std::vector<std::string_view>* lines,
                               ByteBuffer* report)
{
    tally_.batchStarts();
    std::string_view text = rawText.view();
    if (text.empty())
        return 0;
    LineParser parser(facts, &made);
    AdjustTimeInfo info;
    int rc = 0;
    std::string_view line;
    auto keep = [&]() {
        tally_.saw(info);
        if (out) {
            out->push_back(info);
            if (lines)
                lines->push_back(line);
        } else if (isNoteworthy(info)) {
            appendReportLine(*report, info);
        }
    };
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl : end;
        line = std::string_view(p, static_cast<size_t>(stop - p));
        p = nl ? nl + 1 : end;
        Arena::Mark mark = made.mark();
        LineResult result = parser.parse(line, info);
        sayNotes(parser.notes());
        switch (result) {
        case LineResult::Record:
            keep();
            if (!out)
                made.rewind(mark);  // the line holds what the record made
            break;
        case LineResult::NoRecord:
            break;
        case LineResult::Rejected:
            diag("AnalyzeLogFile::analyze separateLog false! ");
            rc = -1;  // the lines after it are parsed all the same
            break;
        }
        while (parser.next(info))
            keep();
        sayNotes(parser.notes());
    }
    // A record held back for a line the batch did not hold.
    bool held = parser.finish(info);
    sayNotes(parser.notes());
    if (held)
        keep();
    return rc;
}

int AnalyzeLogFile::deliverBatches(const Sink& sink)
{
    if (readError)
        return -1;
    for (;;) {
        const bool delivered = sink.deliver() == 0;
        tally_.settled(delivered);
        if (!delivered) {
            restoreLog();
            return -1;
        }
        if (deleteLogFile() != 0)
            return -1;
        sink.release();
        if (!nextBatch())
            return readError ? -1 : 0;
    }
}

int AnalyzeLogFile::write(const std::string& reportPath)
{
    // The report lines of each batch are made as its lines are parsed: no
    // record is kept for them. The report is made even when nothing is due.
    ByteBuffer lines;
    return deliverBatches(Sink{[&] {
        lines.clear();
        parseLines(nullptr, nullptr, &lines);
        return appendToReport(reportPath, lines.view());
    }});
}

int AnalyzeLogFile::appendToReport(const std::string& reportPath, std::string_view lines)
{
    ReportFile report;
    Status s = report.open(reportPath, run_.user());
    if (!s.ok()) {
        tell(s);
        return -1;
    }
    // A run killed once the batch is in the report must not make the next
    // run report it again: the claim notes where the batch goes.
    if (report.regular() && !lines.empty() && claim.noteReportDelivery(reportPath, report.before(), lines) != 0) {
        tell(claim.error());
        return -1;
    }
    if (!(s = report.append(lines)).ok() || !(s = report.close()).ok()) {
        tell(s);
        return -1;
    }
    return 0;
}

int AnalyzeLogFile::deleteLogFile()
{
    if (claim.settle(true) != 0) {
        diag("AnalyzeLogFile::deleteLogFile false!");
        return -1;
    }
    return 0;
}

int AnalyzeLogFile::restoreLog()
{
    // Nothing to do: the batch is still in the backlog, and the next run
    // delivers it before anything newer.
    return 0;
}
