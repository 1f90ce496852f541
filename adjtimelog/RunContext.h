// What a run depends on outside itself: the host name, the time it
// started, its user, its environment and the paths it works on. main
// works it out once (observeRun) and hands it down; nothing below main
// asks the system for any of it, and a test builds its own.
#pragma once

#include "Files.h"

#include <ctime>
#include <string>
#include <sys/types.h>

struct RunContext {
    std::string rawLog;    // the raw adjustment log
    std::string stateDir;  // where the run keeps its state (stateDirectory)
    Owners owners{0};      // the run's effective user, and the time job's user
    time_t now = 0;        // when the run started: the time of what it stores
    std::string host;      // this machine's name, whole
    bool hostOk = false;   // false when the query for it failed
    bool journal = false;  // standard output and error are the journal's

    uid_t user() const { return owners.run; }
};

// The context of a run on rawLog, as this process finds it: the one place
// that reads the host name, the clock, the effective user and the
// environment. Called by main, and by the stand-alone forms that build an
// analyzer or parse a line without one (AnalyzeLogFile(path),
// DatabaseManage(path), separateLog(line, info)).
RunContext observeRun(const std::string& rawLog);

// Where a run keeps its state: the directory $STATE_DIRECTORY names (the
// entry named adjtimelog, else the first) when the service manager gives
// one (stateDirectoryEnv, null when unset); for root the build's
// ADJTIMELOG_STATE_DIR; for any other user
// <raw log's directory>/.adjtimelog-<uid>.
std::string stateDirectory(const std::string& rawPath, const char* stateDirectoryEnv, uid_t user);

// The host name of this machine, whole; false when the query failed.
bool queryHostName(std::string& host);

// "2026-12-09 16:26:51", local time.
std::string localTimeText(time_t when);
