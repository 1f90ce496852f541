#include "SqliteLib.h"

#include <dlfcn.h>

namespace dmoci {

const SqliteLib* sqliteLib(std::string& why)
{
    static SqliteLib lib;
    static bool loaded = false;
    static std::string failed;
    if (!loaded && failed.empty()) {
        // The soname of SQLite 3's stable interface; never closed.
        void* h = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            const char* e = dlerror();
            failed = e ? e : "libsqlite3.so.0 cannot be loaded";
        } else {
#define DMOCI_SQLITE_LOAD(name)                                                  \
    lib.name = reinterpret_cast<decltype(lib.name)>(dlsym(h, #name));            \
    if (!lib.name && failed.empty())                                             \
        failed = "libsqlite3.so.0 has no " #name;
            DMOCI_SQLITE_FUNCTIONS(DMOCI_SQLITE_LOAD)
#undef DMOCI_SQLITE_LOAD
        }
        if (failed.empty() && lib.sqlite3_config && lib.sqlite3_initialize) {
            // No count of SQLite's memory: keeping it takes a global lock at
            // every allocation, several for each row. Refused, harmlessly,
            // when the program has started SQLite itself.
            lib.sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
            lib.sqlite3_initialize();
            loaded = true;
        }
    }
    why = failed;
    return loaded ? &lib : nullptr;
}

const SqliteLib& sq()
{
    std::string why;
    return *sqliteLib(why);
}

}  // namespace dmoci
