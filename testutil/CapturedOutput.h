// What adjtimelog says, read by a test: captureOutput() points the output
// sink at a string, capturedOutput() hands the string back and points the
// sink at standard output again.
#pragma once

#include "Diagnostics.h"

#include <string>
#include <string_view>

namespace testutil {

inline std::string& captured()
{
    static std::string text;
    return text;
}

// The program's own sink, taken before any test replaced it.
inline OutputSink& standardSink()
{
    static OutputSink standard = outputSink;
    return standard;
}

}  // namespace testutil

inline void captureOutput()
{
    testutil::standardSink();
    testutil::captured().clear();
    outputSink = {[](std::string_view s) { testutil::captured().append(s); }, [] {}};
}

inline std::string capturedOutput()
{
    outputSink = testutil::standardSink();
    std::string out;
    out.swap(testutil::captured());
    return out;
}
