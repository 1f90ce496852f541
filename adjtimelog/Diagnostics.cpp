#include "Diagnostics.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

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
    // A line of usual length is handed over whole.
    char line[512];
    size_t n = a.size() + b.size() + c.size() + 1;
    if (n <= sizeof line) {
        char* to = line;
        for (std::string_view part : {a, b, c}) {
            if (!part.empty())
                memcpy(to, part.data(), part.size());
            to += part.size();
        }
        *to = '\n';
        outputSink.write(std::string_view(line, n));
    } else {
        outputSink.write(a);
        outputSink.write(b);
        outputSink.write(c);
        outputSink.write("\n");
    }
    outputSink.flush();
}

void say(std::string_view text)
{
    outputSink.write(text);
}
