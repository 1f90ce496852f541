#include "Diagnostics.h"
#include "Escape.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>

namespace {

bool journalOutput = false;

void writeStdout(std::string_view s)
{
    if (!s.empty())  // an empty view may have no data pointer at all
        fwrite(s.data(), 1, s.size(), stdout);
}

void flushStdout()
{
    fflush(stdout);
}

}  // namespace

OutputSink outputSink = {writeStdout, flushStdout};

void diag(std::string_view text)
{
    diag(text, {}, {});
}

void diag(std::string_view a, std::string_view b)
{
    diag(a, b, {});
}

void diag(std::string_view a, std::string_view b, std::string_view c)
{
    // Whatever a message holds of a raw line, a path or a server's answer
    // is shown with its control bytes escaped: one message, one line,
    // handed over whole.
    std::string line;
    for (std::string_view part : {a, b, c})
        appendEscaped(line, part);
    line += '\n';
    outputSink.write(line);
    outputSink.flush();
}

void say(std::string_view text)
{
    outputSink.write(text);
}

void setJournalOutput(bool journal)
{
    journalOutput = journal;
}

std::string_view chinese(std::string_view gbk, std::string_view utf8)
{
    return journalOutput ? utf8 : gbk;
}

bool outputIsJournal(const char* journalStream)
{
    unsigned long long dev = 0, ino = 0;
    if (!journalStream || sscanf(journalStream, "%llu:%llu", &dev, &ino) != 2)  // NOLINT(cert-err34-c)
        return false;
    for (int fd : {1, 2}) {
        struct stat st;
        if (fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
            static_cast<unsigned long long>(st.st_ino) == ino)
            return true;
    }
    return false;
}
