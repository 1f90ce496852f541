// sitedb prune: removes the adjustments (and the records of delivered
// batches) older than an age from a site database, a batch of rows at a
// time while nodes keep uploading, and says how many went.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// "90d", "12h", "30m" as seconds; false for anything else.
bool parseAge(const std::string& text, long long& seconds);

// The command, on its arguments after "prune": --older-than AGE, --force
// for an age under a day, the connect string (a site database file or a
// PostgreSQL URI of a role that may delete). The exit status.
int runPrune(const std::vector<std::string>& args, const std::string& defaultConnect, time_t now);
