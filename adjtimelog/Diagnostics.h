// Diagnostics of adjtimelog: one line on standard output, then a line end
// and a flush, so that an operator watching the job sees each line at once
// and the order matches what happened even when output is a pipe.
#pragma once

#include <string_view>

void diag(std::string_view text);
void diag(std::string_view a, std::string_view b);
void diag(std::string_view a, std::string_view b, std::string_view c);
// Text without a line end and without a flush: the progress dots of the
// database action.
void say(std::string_view text);

// Where all of it goes: standard output, unless a test sets its own sink
// to read what was said.
struct OutputSink {
    void (*write)(std::string_view text);
    void (*flush)();
};
extern OutputSink outputSink;

// The messages written in Chinese are GBK bytes, as the platform's terminals
// expect; a journal stores UTF-8 and would show them as blobs. main says
// once whether the output goes to the journal; text picks the form.
void setJournalOutput(bool journal);
std::string_view chinese(std::string_view gbk, std::string_view utf8);

// Whether standard output or error is the journal's stream: journalStream
// is $JOURNAL_STREAM ("<device>:<inode>" of that stream, set by systemd).
bool outputIsJournal(const char* journalStream);
