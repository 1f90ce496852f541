// sitedb: the administration program of the stand-in client library, and
// the fleet's clock report.
//
//   sitedb init [--per-node-roles] [--user U] [--password-file FILE] [CONNECT]
//   sitedb path [CONNECT]
//   sitedb prune --older-than AGE [--force] [CONNECT]
//   sitedb report [--since 1d|7d|DATE] [--silent 15m] [--html FILE] [--format table|tsv|json]
//                 [--sort attention|name] [--user U] [--password-file FILE] [CONNECT]
//
// "init" creates the database that a connect string names, with the account
// and the schema objects the node tools use; on an existing database it
// adds only what is missing. For a PostgreSQL URI it connects as the URI
// says (a role that may create roles and schemas) and creates the node role
// U, the schema dbu, its sequence and table and the grants. "path" prints
// the database file. "prune" removes old rows (SitePrune.h). "report" reads the table through the client library
// (SiteReport.h), so it works with a vendor's library too; a build with one
// has only that command.

#include "Password.h"
#include "SiteReport.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef SITEDB_REPORT_ONLY
#include "Connect.h"
#include "Database.h"
#include "SitePrune.h"
#include "SiteSchema.h"

#include <cerrno>
#include <cstring>
#include <libpq-fe.h>
#endif

namespace {

const char kDefaultConnect[] = SITEDB_DEFAULT_CONNECT;

int usage()
{
    fputs("usage: sitedb init [--per-node-roles] [--user U] [--password-file FILE] [CONNECT]\n"
          "       sitedb path [CONNECT]\n"
          "       sitedb prune --older-than AGE [--force] [CONNECT]\n"
          "       sitedb report [--since 1d|7d|DATE] [--silent 15m] [--html FILE] [--format table|tsv|json]\n"
          "                     [--sort attention|name] [--user U] [--password-file FILE] [CONNECT]\n",
          stderr);
    return 2;
}

}  // namespace

#ifndef SITEDB_REPORT_ONLY
namespace {

// Creates each missing directory of path, like mkdir -p; the last one, the
// database's own, only its owner may enter.
int makeDirectories(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), i == path.size() ? 0700 : 0755) != 0 && errno != EEXIST)
            return -1;
    }
    return 0;
}

// A site database holds every node's rows and the account's password hash,
// and another user's lock on it would stall every run: its files are its
// owner's alone (0600), and the data directory's too (0700). An existing
// database of looser modes is tightened.
int makePrivate(const std::string& file)
{
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::string path = file + suffix;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        // A link or a FIFO planted at one of the names would have the
        // database's writes land in a file of the planter's choosing.
        if (!S_ISREG(st.st_mode)) {
            fprintf(stderr, "sitedb: %s is %s, not a database file: refused\n", path.c_str(),
                    S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file");
            return -1;
        }
        if ((st.st_mode & 077) != 0 && chmod(path.c_str(), st.st_mode & 0700) != 0) {
            fprintf(stderr, "sitedb: cannot make %s private: %s\n", path.c_str(), strerror(errno));
            return -1;
        }
    }
    std::string dir = file.substr(0, file.rfind('/'));
    struct stat st;
    if (dir == dmoci::dataDirectory() && lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == geteuid() && (st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) {
        fprintf(stderr, "sitedb: cannot make %s private: %s\n", dir.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

struct Db {
    sqlite3* h = nullptr;
    ~Db() { sqlite3_close(h); }
};

int exec(sqlite3* db, const char* sql)
{
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        fprintf(stderr, "sitedb: %s\n", err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        return -1;
    }
    return 0;
}

struct Pg {
    PGconn* c = nullptr;
    ~Pg() { PQfinish(c); }
};

int pgExec(PGconn* c, const std::string& sql)
{
    PGresult* r = PQexec(c, sql.c_str());
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok)
        fprintf(stderr, "sitedb: %s", PQresultErrorMessage(r));
    PQclear(r);
    return ok ? 0 : -1;
}

// PostgreSQL refuses, in any encoding but SQL_ASCII, some bytes that a
// node's lines may hold (GBK host names, a tool's stray bytes): every such
// row would be set aside on every node. The database must take any byte.
int checkEncoding(PGconn* c)
{
    PGresult* r = PQexec(c, "SELECT pg_encoding_to_char(encoding), current_database() FROM pg_database "
                            "WHERE datname = current_database()");
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
    std::string encoding = ok ? PQgetvalue(r, 0, 0) : "";
    std::string name = ok ? PQgetvalue(r, 0, 1) : "";
    if (!ok)
        fprintf(stderr, "sitedb: %s", PQresultErrorMessage(r));
    PQclear(r);
    if (!ok)
        return -1;
    if (encoding != "SQL_ASCII") {
        fprintf(stderr,
                "sitedb: database %s has encoding %s, which refuses some bytes of the nodes' lines; "
                "create it with: createdb -E SQL_ASCII -T template0 %s\n",
                name.c_str(), encoding.c_str(), name.c_str());
        return -1;
    }
    return 0;
}

// The node role, the schema dbu and what the node tools write, on a server.
// With per-node roles, each node's role (named as the node's host name)
// may insert and read only rows of its own NODE: row-level security on the
// tables a node writes. The site's owner and roles with BYPASSRLS (the
// report's, the prune's) still see every row.
const char kPerNodeRolesSql[] =
    "ALTER TABLE dbu.ntpadjusts ENABLE ROW LEVEL SECURITY; "
    "ALTER TABLE dbu.ntpdeliveries ENABLE ROW LEVEL SECURITY; "
    "DROP POLICY IF EXISTS node_own_rows ON dbu.ntpadjusts; "
    "CREATE POLICY node_own_rows ON dbu.ntpadjusts USING (node = current_user) WITH CHECK (node = current_user); "
    "DROP POLICY IF EXISTS node_own_rows ON dbu.ntpdeliveries; "
    "CREATE POLICY node_own_rows ON dbu.ntpdeliveries USING (node = current_user) "
    "WITH CHECK (node = current_user)";

int initPostgres(const std::string& uri, const std::string& user, const std::string& password, bool perNodeRoles)
{
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"10", uri.c_str(), nullptr};
    Pg pg;
    pg.c = PQconnectdbParams(keys, values, 1);
    if (PQstatus(pg.c) != CONNECTION_OK) {
        fprintf(stderr, "sitedb: %s", PQerrorMessage(pg.c));
        return 1;
    }
    if (checkEncoding(pg.c) != 0)
        return 1;
    auto escaped = [&](const std::string& text, bool identifier) {
        char* e = identifier ? PQescapeIdentifier(pg.c, text.c_str(), text.size())
                             : PQescapeLiteral(pg.c, text.c_str(), text.size());
        std::string out = e ? e : "";
        PQfreemem(e);
        return out;
    };
    std::string role = escaped(user, true);
    std::string name = escaped(user, false);
    std::string secret = escaped(password, false);
    if (role.empty() || name.empty() || secret.empty() || (name + secret).find("$do$") != std::string::npos) {
        fprintf(stderr, "sitedb: unusable role name or password\n");
        return 1;
    }
    // The schema's grants name the node role as the file does (dbu).
    std::string schema = kPostgresSchemaSql;
    for (const char* word : {" TO dbu;", " FROM dbu;"}) {
        const size_t skip = strlen(word) - 4;  // up to the name
        for (size_t at = schema.find(word); at != std::string::npos; at = schema.find(word, at + 1))
            schema.replace(at + skip, 3, role);
    }
    std::string createRole = "DO $do$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = " + name +
                             ") THEN CREATE ROLE " + role + " LOGIN PASSWORD " + secret + "; END IF; END $do$";
    if (pgExec(pg.c, "SET client_min_messages = warning") != 0 || pgExec(pg.c, "BEGIN") != 0 ||
        pgExec(pg.c, createRole) != 0 || pgExec(pg.c, schema) != 0 ||
        (perNodeRoles && pgExec(pg.c, kPerNodeRolesSql) != 0) || pgExec(pg.c, "COMMIT") != 0)
        return 1;
    printf("%s\n", uri.c_str());
    return 0;
}

int init(const std::string& connect, const std::string& user, const std::string& password, bool perNodeRoles)
{
    if (dmoci::isPostgresUri(connect))
        return initPostgres(connect, user, password, perNodeRoles);
    if (perNodeRoles) {
        fprintf(stderr, "sitedb: --per-node-roles is for a PostgreSQL site server; a database file has one "
                        "account\n");
        return 1;
    }
    std::string file, why;
    if (!dmoci::databaseFile(connect, file, why)) {
        fprintf(stderr, "sitedb: %s\n", why.c_str());
        return 1;
    }
    size_t slash = file.rfind('/');
    if (slash != std::string::npos && slash > 0 && makeDirectories(file.substr(0, slash)) != 0) {
        fprintf(stderr, "sitedb: cannot create %s: %s\n", file.substr(0, slash).c_str(), strerror(errno));
        return 1;
    }
    if (makePrivate(file) != 0)
        return 1;
    Db db;
    if (sqlite3_open_v2(file.c_str(), &db.h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        fprintf(stderr, "sitedb: cannot open %s: %s\n", file.c_str(), sqlite3_errmsg(db.h));
        return 1;
    }
    sqlite3_busy_timeout(db.h, 60000);
    if (exec(db.h, "PRAGMA journal_mode = WAL") != 0 || exec(db.h, "BEGIN IMMEDIATE") != 0 ||
        exec(db.h, dmoci::kCatalogSql) != 0 || exec(db.h, kSiteSchemaSql) != 0)
        return 1;

    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.h, "SELECT 1 FROM DMOCI_USERS WHERE USERNAME = ?1", -1, &st, nullptr) != SQLITE_OK) {
        fprintf(stderr, "sitedb: %s: %s\n", file.c_str(), sqlite3_errmsg(db.h));
        return 1;
    }
    sqlite3_bind_text(st, 1, user.c_str(), -1, SQLITE_TRANSIENT);
    bool exists = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    if (!exists) {
        std::string hash;
        if (!dmoci::hashPassword(password, hash)) {
            fprintf(stderr, "sitedb: cannot hash the password\n");
            return 1;
        }
        if (sqlite3_prepare_v2(db.h, "INSERT INTO DMOCI_USERS (USERNAME, PASSWORD_HASH) VALUES (?1, ?2)", -1, &st,
                               nullptr) != SQLITE_OK) {
            fprintf(stderr, "sitedb: %s: %s\n", file.c_str(), sqlite3_errmsg(db.h));
            return 1;
        }
        sqlite3_bind_text(st, 1, user.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, hash.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(st);
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            fprintf(stderr, "sitedb: %s\n", sqlite3_errmsg(db.h));
            return 1;
        }
    }
    if (exec(db.h, "COMMIT") != 0)
        return 1;
    printf("%s\n", file.c_str());
    return 0;
}

}  // namespace

#endif

int main(int argc, char** argv)
{
    umask(077);  // every file sitedb makes is its owner's alone
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "report")
        return runReport(std::vector<std::string>(argv + 2, argv + argc), kDefaultConnect, SITEDB_DEFAULT_USER,
                         SITEDB_DEFAULT_PASSWORD, static_cast<long long>(time(nullptr)), geteuid());
#ifdef SITEDB_REPORT_ONLY
    fprintf(stderr, "sitedb: with a vendor's client library only \"sitedb report\" is here\n");
    return usage();
#else
    if (command == "prune")
        return runPrune(std::vector<std::string>(argv + 2, argv + argc), kDefaultConnect, time(nullptr));
    std::string user = SITEDB_DEFAULT_USER;
    std::string password;
    std::string connect = kDefaultConnect;
    bool connectGiven = false, perNodeRoles = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::string why;
        if (command == "init" && (arg == "--user" || arg == "--password") && i + 1 < argc) {
            (arg == "--user" ? user : password) = argv[++i];
        } else if (command == "init" && arg == "--password-file" && i + 1 < argc) {
            if (!readPasswordFile(argv[++i], password, why)) {
                fprintf(stderr, "sitedb: %s\n", why.c_str());
                return 1;
            }
        } else if (command == "init" && arg == "--per-node-roles") {
            perNodeRoles = true;
        } else if (!connectGiven && !arg.empty() && arg[0] != '-') {
            connect = arg, connectGiven = true;
        } else {
            return usage();
        }
    }
    if (command == "init") {
        // The node role of a server gets the password typed on a terminal
        // when none was given; a database file's account, and a run with
        // no terminal, the built-in one.
        if (password.empty() &&
            !(dmoci::isPostgresUri(connect) && promptPassword("Password for the new role " + user + ": ", password)))
            password = SITEDB_DEFAULT_PASSWORD;
        int rc = init(connect, user, password, perNodeRoles);
        explicit_bzero(password.data(), password.size());
        return rc;
    }
    if (command == "path") {
        if (dmoci::isPostgresUri(connect)) {
            fprintf(stderr, "sitedb: %s names a PostgreSQL database (schema dbu), not a file\n", connect.c_str());
            return 1;
        }
        std::string file, why;
        if (!dmoci::databaseFile(connect, file, why)) {
            fprintf(stderr, "sitedb: %s\n", why.c_str());
            return 1;
        }
        printf("%s\n", file.c_str());
        return 0;
    }
    return usage();
#endif
}
