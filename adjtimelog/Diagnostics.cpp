#include "Diagnostics.h"

#include <cstdio>

namespace {

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
    outputSink.write(a);
    outputSink.write(b);
    outputSink.write(c);
    outputSink.write("\n");
    outputSink.flush();
}

void say(std::string_view text)
{
    outputSink.write(text);
}
