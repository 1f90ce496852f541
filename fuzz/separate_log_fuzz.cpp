// The line parser on any bytes. Beyond not crashing: the result is 0 or -1,
// a rejected line leaves the record as it was, and an accepted line fills
// every field from the line's own bytes (or the host name and the time).
#include "AnalyzeLogFile.h"

#include <cstdio>
#include <cstdlib>
#include <string>

static bool isSubstring(const std::string& part, const std::string& whole)
{
    return whole.find(part) != std::string::npos;
}

static bool looksLikeLocalTime(const std::string& t)
{
    return t.size() == 19 && t[4] == '-' && t[7] == '-' && t[10] == ' ' && t[13] == ':' && t[16] == ':';
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!freopen("/dev/null", "w", stdout))  // the diagnostics are not the point here
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const AdjustTimeInfo before{"n", "t", "s", "o", "p"};
    AdjustTimeInfo info = before;
    int rc = AnalyzeLogFile::separateLog(line, "fuzzhost", true, info);
    if (rc != 0 && rc != -1)
        abort();
    if (rc == -1) {
        if (!(info == before))
            abort();
        return 0;
    }
    if (info.node != "fuzzhost")
        abort();
    bool timeFromLine = line.size() > 1 && line.compare(1, info.time.size(), info.time) == 0;
    if (!timeFromLine && !looksLikeLocalTime(info.time) && !info.time.empty())
        abort();
    if (!isSubstring(info.serverIp, line) || !isSubstring(info.offset, line))
        abort();
    // pid is the kind, ':' and the process id, both cut from the line.
    bool split = false;
    for (size_t i = info.pid.find(':'); i != std::string::npos && !split; i = info.pid.find(':', i + 1))
        split = isSubstring(info.pid.substr(0, i), line) && isSubstring(info.pid.substr(i + 1), line);
    if (!split)
        abort();
    return 0;
}
