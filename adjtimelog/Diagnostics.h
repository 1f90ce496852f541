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
