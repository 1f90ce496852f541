#include "SqliteLib.h"

#include "Loader.h"

namespace dmoci {

namespace {

SqliteLib lib;
bool loaded = false;
std::string failed;

}  // namespace

const SqliteLib* sqliteLib(std::string& why)
{
    if (!loaded && failed.empty()) {
        const char soname[] = "libsqlite3.so.0";  // SQLite 3's stable interface
        if (void* h = openLibrary(soname, failed)) {
#define DMOCI_SQLITE_LOAD(name) loadSymbol(h, soname, #name, lib.name, failed);
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
    return lib;
}

}  // namespace dmoci
