// One clock adjustment event, as the line parser cut it from ntpdate output.
// The field order is the bind order of the insert statement (positions 1-5).
#pragma once

#include <string>

class AdjustTimeInfo {
public:
    std::string node;      // host name of this machine
    std::string time;      // time text as printed, e.g. "7 Dec 09:49:19 "
    std::string serverIp;  // time server as printed
    std::string offset;    // signed decimal seconds, without " sec"
    std::string pid;       // kind, ':' and process id, e.g. " adjust:812"
};

inline bool operator==(const AdjustTimeInfo& a, const AdjustTimeInfo& b)
{
    return a.node == b.node && a.time == b.time && a.serverIp == b.serverIp &&
           a.offset == b.offset && a.pid == b.pid;
}
