// The launcher's argument check and environment filter on any bytes.
// Beyond not crashing: only the verb table and "--exit" pass the check, no
// variable outside the allow-list reaches the command, and LANG/LC_* never
// carry a '/' or a '%'.
#include "policy.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const char kPath[] = "/usr/sbin:/usr/bin";

static bool allowed(const std::string& entry)
{
    static const char* const fixed[] = {"PATH=/usr/sbin:/usr/bin", "HOME=/root", "USER=root", "LOGNAME=root",
                                        "SHELL=/bin/sh"};
    for (const char* f : fixed) {
        if (entry == f)
            return true;
    }
    size_t eq = entry.find('=');
    std::string name = entry.substr(0, eq), value = entry.substr(eq + 1);
    bool locale = name == "LANG" || name == "LANGUAGE" || name.compare(0, 3, "LC_") == 0;
    if (locale || name == "TERM" || name == "COLORTERM")
        return value.find_first_of("/%") == std::string::npos;
    if (name == "TZ")
        return !value.empty() ? value[0] != '/' && value.find("..") == std::string::npos : true;
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // NUL-separated strings.
    std::vector<std::string> words;
    std::string cur;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    words.push_back(cur);

    std::vector<const char*> argv = {"qmems"};
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    const char* command = nullptr;
    bool exitGiven = false;
    int argc = static_cast<int>(argv.size());
    if (checkArguments(argc, argv.data(), &command, &exitGiven) == 0) {
        if ((argc != 2 && argc != 3) || commandForVerb(argv[1]) != command || command == nullptr)
            abort();
        if (argc == 3 && strcmp(argv[2], "--exit") != 0)
            abort();
    }

    std::vector<const char*> env;
    for (const std::string& w : words)
        env.push_back(w.c_str());
    env.push_back(nullptr);
    std::vector<std::string> out = safeEnvironment(env.data(), kPath);
    if (out.empty() || out[0] != std::string("PATH=") + kPath)
        abort();
    for (const std::string& e : out) {
        if (!allowed(e))
            abort();
    }

    // A locked or empty entry never matches, whatever is typed.
    std::string typed = words.empty() ? "" : words[0];
    std::string locked = "!" + (words.size() > 1 ? words[1] : std::string());
    if (passwordMatches(typed.c_str(), locked.c_str()) || passwordMatches(typed.c_str(), "") ||
        passwordMatches(typed.c_str(), ("*" + locked).c_str()))
        abort();
    return 0;
}
