// One clock adjustment event, as the line parser cut it from the raw log.
// The field order is the bind order of the insert statement (positions 1-5).
// The analyzer's records view their bytes in the claimed raw log and in its
// arena (see Text.h); other records own theirs.
#pragma once

#include "Text.h"

#include <string>
#include <string_view>

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
    return a.node == b.node && a.time == b.time && a.serverIp == b.serverIp && a.offset == b.offset && a.pid == b.pid;
}

// Writes the five fields of a parsed line; pid is its pieces joined. With an
// arena the record views the texts, and the joined pid is written to the
// arena; without one the record owns copies. Always inlined: it runs for
// every line, and the call cost more than its work (measured).
template <typename... PidPieces>
[[gnu::always_inline]] inline void setFields(AdjustTimeInfo& info, Arena* made, std::string_view node,
                                             std::string_view time, std::string_view serverIp, std::string_view offset,
                                             const PidPieces&... pid)
{
    if (!made) {
        std::string joined;
        (joined.append(std::string_view(pid)), ...);
        info = AdjustTimeInfo{node, time, serverIp, offset, joined};
        return;
    }
    info.node.setView(node);
    info.time.setView(time);
    info.serverIp.setView(serverIp);
    info.offset.setView(offset);
    info.pid.setView(made->join(pid...));
}
