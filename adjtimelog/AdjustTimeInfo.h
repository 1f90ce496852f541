// One clock adjustment event, as the line parser cut it from the raw log.
// The field order is the bind order of the insert statement (positions 1-5).
// The analyzer's records view their bytes in the claimed raw log and in its
// arena (see Text.h); other records own theirs.
#pragma once

#include "Text.h"

class AdjustTimeInfo {
public:
    Text node;      // host name of this machine
    Text time;      // time text as printed, e.g. "7 Dec 09:49:19 "
    Text serverIp;  // time server as printed
    Text offset;    // signed decimal seconds, without " sec"
    Text pid;       // kind, ':' and process id, e.g. " adjust:812"
};

inline bool operator==(const AdjustTimeInfo& a, const AdjustTimeInfo& b)
{
    return a.node == b.node && a.time == b.time && a.serverIp == b.serverIp &&
           a.offset == b.offset && a.pid == b.pid;
}
