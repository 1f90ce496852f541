// Where the stand-in client library keeps a connect string's database.
#pragma once

#include <string>

namespace dmoci {

// An Easy Connect string "[//]host[:port][/service]" names the file
// "<data dir>/<service>.db" (no service: the host); a connect string that is
// a path (it starts with "./", or with one "/") names the file itself. The data
// directory is $SITEDB_DIR, else the build's default. Returns false for a
// string that names no database, with the reason in error.
bool databaseFile(const std::string& connect, std::string& file, std::string& error);

// A PostgreSQL server's URI: "postgresql://..." or "postgres://...".
inline bool isPostgresUri(const std::string& connect)
{
    return connect.compare(0, 13, "postgresql://") == 0 || connect.compare(0, 11, "postgres://") == 0;
}

// The data directory in force.
std::string dataDirectory();

}  // namespace dmoci
