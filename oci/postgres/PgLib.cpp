#include "PgLib.h"

#include "Loader.h"

namespace dmoci {

namespace {

PgLib lib;
bool loaded = false;
std::string failed;

}  // namespace

const PgLib* pgLib(std::string& why)
{
    if (!loaded && failed.empty()) {
        const char soname[] = "libpq.so.5";  // libpq's stable interface
        if (void* h = openLibrary(soname, failed)) {
#define DMOCI_PQ_LOAD(name) loadSymbol(h, soname, #name, lib.name, failed);
            DMOCI_PQ_FUNCTIONS(DMOCI_PQ_LOAD)
#undef DMOCI_PQ_LOAD
        }
        loaded = failed.empty();
    }
    why = failed;
    return loaded ? &lib : nullptr;
}

const PgLib& pq()
{
    return lib;
}

}  // namespace dmoci
