#include "RowFailures.h"
#include "Escape.h"
#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

RowFailures::RowFailures(std::string stateDir, std::string batchId, time_t now)
    : dir_(std::move(stateDir)), batch_(std::move(batchId)), now_(now)
{
    std::string text;
    if (!readSmallFile(dir_ + "/rows", text))
        return;
    std::string_view v = text;
    while (!v.empty()) {
        size_t nl = v.find('\n');
        std::string line(v.substr(0, nl));
        v = nl == std::string_view::npos ? std::string_view() : v.substr(nl + 1);
        // "<backlog id> <offset> <index> <count>": only this batch's count
        size_t cut = line.find(' ');
        cut = cut == std::string::npos ? cut : line.find(' ', cut + 1);
        if (cut == std::string::npos || line.compare(0, cut, batch_) != 0)
            continue;
        unsigned long index = 0;
        int count = 0;
        if (sscanf(line.c_str() + cut, " %lu %d", &index, &count) == 2)  // NOLINT(cert-err34-c)
            counts_[index] = count;
    }
}

bool RowFailures::setAside(size_t index) const
{
    auto it = counts_.find(index);
    return it != counts_.end() && it->second < 0;
}

int RowFailures::save()
{
    std::string text;
    for (const auto& [index, count] : counts_)
        text += batch_ + " " + std::to_string(index) + " " + std::to_string(count) + "\n";
    std::string failed;
    return replaceFile(dir_ + "/rows.new", dir_ + "/rows", text, failed);
}

int RowFailures::countRefusal(size_t index)
{
    int& count = counts_[index];
    if (count < 0)
        return 0;
    ++count;
    if (save() != 0) {
        --count;
        return 0;
    }
    return count;
}

Status RowFailures::setAsideRow(size_t index, std::string_view line, std::string_view error)
{
    char when[32] = "";
    struct tm utc;
    if (gmtime_r(&now_, &utc))
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string entry = std::string(when) + "\t" + escaped(error, false) + "\t" + escaped(line, false) + "\n";
    Fd fd(sys.open(deadLetters().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() || writeAll(fd.get(), entry) != 0 || sys.fsync(fd.get()) != 0)
        return Status::sysError("insert", deadLetters(), errno);
    int before = counts_[index];
    counts_[index] = -1;
    if (save() != 0) {
        counts_[index] = before;
        return Status::sysError("insert", dir_ + "/rows", errno);
    }
    return Status();
}

void RowFailures::clear()
{
    counts_.clear();
    sys.unlink((dir_ + "/rows").c_str());
}

long long deadLetterCount(const std::string& stateDir)
{
    Fd fd(sys.open((stateDir + "/dead-letters").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    long long lines = 0;
    char buf[65536];
    ssize_t n;
    off_t at = 0;
    while (fd.valid() && (n = sys.pread(fd.get(), buf, sizeof buf, at)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            lines += buf[i] == '\n';
        at += n;
    }
    return lines;
}

bool isDataError(int oraCode)
{
    switch (oraCode) {
    case 1401:   // inserted value too large for column
    case 1438:   // value larger than specified precision
    case 1460:   // unimplemented or unreasonable conversion
    case 1461:   // can bind a LONG value only for insert into a LONG column
    case 1480:   // trailing null missing from STR bind value
    case 1722:   // invalid number
    case 12899:  // value too large for column
    case 29275:  // partial multibyte character
        return true;
    default:
        return oraCode >= 1840 && oraCode <= 1899;  // dates and times it cannot read
    }
}

bool mayBeTheRows(int oraCode)
{
    switch (oraCode) {
    case 1:     // unique constraint violated
    case 1400:  // cannot insert NULL
    case 2290:  // check constraint violated
    case 2291:  // parent key not found
        return true;
    default:
        // Refused by a trigger (RAISE_APPLICATION_ERROR's numbers; the
        // stand-in's 20001 and 20999 are errors it could not name).
        return oraCode >= 20000 && oraCode <= 20998 && oraCode != 20001;
    }
}
