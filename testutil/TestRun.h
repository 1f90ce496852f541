// A run's context for a unit test: its raw log and state directory where
// the test says, the test's user, this machine's host name, and now.
#pragma once

#include "RunContext.h"

#include <ctime>
#include <string>
#include <unistd.h>

inline RunContext testRun(const std::string& raw, const std::string& state, time_t now = time(nullptr))
{
    RunContext run;
    run.rawLog = raw;
    run.stateDir = state;
    run.owners = Owners{geteuid()};
    run.now = now;
    run.hostOk = queryHostName(run.host);
    return run;
}
