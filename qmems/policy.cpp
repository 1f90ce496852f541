#include "policy.h"

#include <crypt.h>
#include <cstring>

namespace {

struct Verb {
    const char* verb;
    const char* command;
};

// Compared in this order, byte for byte.
const Verb kVerbs[] = {
    {"start", "load"},
    {"stop", "unload"},
    {"restart", "reload"},
    {"stopall", "qmstopall"},
    {"qminit_master", "qminit_master"},
    {"qminit_slave", "qminit_slave"},
};

bool startsWith(const char* s, const char* prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// A value that cannot name a file or carry a format.
bool harmlessValue(const char* v)
{
    return strchr(v, '/') == nullptr && strchr(v, '%') == nullptr;
}

// A plain zone name such as "Asia/Shanghai": no absolute path, no way up.
bool plainZoneName(const char* v)
{
    if (*v == '/' || *v == ':' || strstr(v, "..") != nullptr)
        return false;
    for (const char* p = v; *p; ++p) {
        if (*p < 0x21 || *p > 0x7e)
            return false;
    }
    return true;
}

}  // namespace

const char* commandForVerb(const char* verb)
{
    for (const Verb& v : kVerbs) {
        if (strcmp(verb, v.verb) == 0)
            return v.command;
    }
    return nullptr;
}

int checkArguments(int argc, const char* const* argv, const char** command, bool* exitGiven)
{
    if (argc != 2 && argc != 3)
        return -1;
    const char* c = commandForVerb(argv[1]);
    if (c == nullptr)
        return -1;
    if (argc == 3 && strcmp(argv[2], "--exit") != 0)
        return -1;
    *command = c;
    *exitGiven = argc == 3;
    return 0;
}

bool maySkipPassword(bool exitGiven, uid_t realUid, bool emsKnown, uid_t emsUid)
{
    return exitGiven && (realUid == 0 || (emsKnown && realUid == emsUid));
}

bool passwordMatches(const char* typed, const char* stored)
{
    if (typed == nullptr || stored == nullptr || stored[0] == '\0' || stored[0] == '!' || stored[0] == '*')
        return false;
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char* hashed = crypt_r(typed, stored, &data);
    bool match = false;
    if (hashed != nullptr && hashed[0] != '*') {
        size_t n = strlen(stored);
        if (strlen(hashed) == n) {
            unsigned char diff = 0;  // every byte is compared: no timing hint
            for (size_t i = 0; i < n; ++i)
                diff |= static_cast<unsigned char>(hashed[i] ^ stored[i]);
            match = diff == 0;
        }
    }
    explicit_bzero(&data, sizeof data);
    return match;
}

bool accountExpired(long expireDay, long today)
{
    return expireDay != -1 && today >= expireDay;
}

std::vector<std::string> safeEnvironment(const char* const* callerEnv, const std::string& securePath,
                                         const RootAccount& root)
{
    std::vector<std::string> env = {
        "PATH=" + securePath, "HOME=" + root.home, "USER=root", "LOGNAME=root", "SHELL=" + root.shell,
    };
    static const char* const kKept[] = {"TERM", "COLORTERM", "LANG", "LANGUAGE"};
    for (const char* const* e = callerEnv; e && *e; ++e) {
        const char* eq = strchr(*e, '=');
        if (eq == nullptr)
            continue;
        std::string name(*e, static_cast<size_t>(eq - *e));
        const char* value = eq + 1;
        bool wanted = false;
        for (const char* k : kKept)
            wanted = wanted || name == k;
        wanted = wanted || (startsWith(name.c_str(), "LC_") &&
                            name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == std::string::npos);
        bool keep = (wanted && harmlessValue(value)) || (name == "TZ" && plainZoneName(value));
        if (!keep)
            continue;
        // The first of a repeated name wins, as getenv would see it.
        bool seen = false;
        for (const std::string& have : env)
            seen = seen || have.compare(0, name.size() + 1, name + "=") == 0;
        if (!seen)
            env.push_back(*e);
    }
    return env;
}
