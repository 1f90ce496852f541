// The launcher's decisions, each a small function that main strings together
// and the unit tests call one by one.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The control command that a verb starts, or nullptr for no verb of ours.
const char* commandForVerb(const char* verb);

// Checks "qmems VERB [--exit]". Returns 0 and fills command and exitGiven,
// or -1 when the arguments are not of that form.
int checkArguments(int argc, const char* const* argv, const char** command, bool* exitGiven);

// "--exit" skips the password only for root and for the ems account itself.
bool maySkipPassword(bool exitGiven, uid_t realUid, bool emsKnown, uid_t emsUid);

// The typed password hashed with the whole stored value as the setting
// equals the stored value. Locked, empty and unusable entries never match.
bool passwordMatches(const char* typed, const char* stored);

// The account's expiry date (days since 1970, -1 for none, as in the shadow
// entry) has come: the account is expired from that day on, as pam_unix
// reads it.
bool accountExpired(long expireDay, long today);

// Root's home directory and login shell, as the account database has them.
struct RootAccount {
    std::string home = "/root";
    std::string shell = "/bin/sh";
};

// The environment the control command gets when the caller was not root:
// PATH is the trusted path, HOME/USER/LOGNAME/SHELL are root's, and only
// harmless locale and terminal variables of the caller pass.
std::vector<std::string> safeEnvironment(const char* const* callerEnv, const std::string& securePath,
                                         const RootAccount& root = RootAccount());
