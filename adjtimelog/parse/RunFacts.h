// What the parser is given and what it gives back besides a record.
//
// The parser does no I/O: what a run knows once (the host name, whether
// the query for it worked, the run's local time) comes in as RunFacts, and
// what a line earned to be told the operator goes back as Notes, which the
// analyzer prints in their order.
#pragma once

#include <cstdint>
#include <string_view>

struct RunFacts {
    std::string_view host;  // this machine's name
    bool hostOk = false;    // false when the query for it failed
    // The run's local time, "YYYY-MM-DD HH:MM:SS", the time of a line
    // without one. Records may view host and time: they outlive them not.
    std::string_view time;
};

enum class Note : uint8_t {
    HostUnknown,  // no host name: the line makes no record
    TimeSet,      // the line had no time: the run's was given
    NoPid,        // rejected: no '[' before the process id
    NoServer,     // rejected: no "server"
};

// The operator's text of a note, without its line end.
std::string_view noteText(Note note);

// The notes of one call of the parser, oldest first.
struct Notes {
    Note list[4] = {};
    uint8_t count = 0;
    void add(Note n)
    {
        if (count < sizeof list / sizeof list[0])
            list[count++] = n;
    }
    void clear() { count = 0; }
    const Note* begin() const { return list; }
    const Note* end() const { return list + count; }
};
