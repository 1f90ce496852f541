// A recording double of the OCI client library, linked only into unit
// tests: every call is written down with its key arguments, and any call
// can be made to fail.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ocirecorder {

// One line per call, e.g. "OCIStmtPrepare len=127 syntax=1 mode=0 INSERT ...".
extern std::vector<std::string> calls;
// Handles allocated and not yet freed, by type.
extern std::map<void*, unsigned> liveHandles;
// Rows that the next query returns: NODE, TIME, SERVERIP, OFFSET, PID.
extern std::vector<std::vector<std::string>> rows;

// Makes the nth call (counted from 1) of the named function fail.
void failCall(const std::string& function, int nth);
// Makes OCIStmtFetch fail instead of ending the rows.
void failFetch(bool on);
// Makes every execution that has bytes bound at position fail with the
// error number code (all of them when bytes is empty).
void refuseRows(unsigned position, const std::string& bytes, int code);
void reset();

// The calls whose line begins with prefix.
std::vector<std::string> callsOf(const std::string& prefix);

}  // namespace ocirecorder
