#include "PgLib.h"

#include <dlfcn.h>

namespace dmoci {

const PgLib* pgLib(std::string& why)
{
    static PgLib lib;
    static bool loaded = false;
    static std::string failed;
    if (!loaded && failed.empty()) {
        // The soname of libpq's stable interface; never closed.
        void* h = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            const char* e = dlerror();
            failed = e ? e : "libpq.so.5 cannot be loaded";
        } else {
#define DMOCI_PQ_LOAD(name)                                                      \
    lib.name = reinterpret_cast<decltype(lib.name)>(dlsym(h, #name));            \
    if (!lib.name && failed.empty())                                             \
        failed = "libpq.so.5 has no " #name;
            DMOCI_PQ_FUNCTIONS(DMOCI_PQ_LOAD)
#undef DMOCI_PQ_LOAD
            loaded = failed.empty();
        }
    }
    why = failed;
    return loaded ? &lib : nullptr;
}

}  // namespace dmoci
