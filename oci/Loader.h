// Loading a client library when a session first needs it (PgLib, SqliteLib):
// the library is opened by its soname for good, and each function the table
// names is looked up in it; the first thing missing is the reason it fails.
#pragma once

#include <dlfcn.h>
#include <string>

namespace dmoci {

inline void* openLibrary(const char* soname, std::string& failed)
{
    void* h = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        failed = e ? e : std::string(soname) + " cannot be loaded";
    }
    return h;
}

template <typename F>
void loadSymbol(void* h, const char* soname, const char* name, F& slot, std::string& failed)
{
    slot = reinterpret_cast<F>(dlsym(h, name));
    if (!slot && failed.empty())
        failed = std::string(soname) + " has no " + name;
}

}  // namespace dmoci
