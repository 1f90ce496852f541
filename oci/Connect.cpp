#include "Connect.h"

#include <cstdlib>

namespace dmoci {

std::string dataDirectory()
{
    const char* dir = getenv("SITEDB_DIR");
    return dir && *dir ? dir : SITEDB_DEFAULT_DIR;
}

bool databaseFile(const std::string& connect, std::string& file, std::string& error)
{
    bool easyConnect = connect.compare(0, 2, "//") == 0;
    if (!easyConnect && (connect.compare(0, 1, "/") == 0 || connect.compare(0, 2, "./") == 0)) {
        file = connect;
        return true;
    }
    std::string rest = easyConnect ? connect.substr(2) : connect;
    std::string name;
    size_t slash = rest.find('/');
    if (slash != std::string::npos)
        name = rest.substr(slash + 1);
    else
        name = rest.substr(0, rest.find(':'));
    // A service name is one plain word: it must not climb out of the data directory.
    bool plain = !name.empty() && name != "." && name != ".." && name.find_first_of("/:\\") == std::string::npos;
    if (!plain) {
        error = "cannot resolve the connect identifier \"" + connect + "\"";
        return false;
    }
    file = dataDirectory() + "/" + name + ".db";
    return true;
}

}  // namespace dmoci
