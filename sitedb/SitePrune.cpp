#include "SitePrune.h"
#include "Connect.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <libpq-fe.h>
#include <sqlite3.h>

namespace {

// Rows go a batch at a time, each batch its own short transaction, so that
// nodes that keep uploading never wait long for the tables.
const int kBatchRows = 10000;

const char* const kTables[][2] = {
    // SQLite's name, PostgreSQL's
    {"NTPADJUSTS", "dbu.ntpadjusts"},
    {"NTPDELIVERIES", "dbu.ntpdeliveries"},
};

struct Counts {
    long long rows[2] = {0, 0};
};

int pruneSqlite(const std::string& file, long long before, Counts& removed)
{
    sqlite3* db = nullptr;
    // An existing site database only, never through a link.
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
        fprintf(stderr, "sitedb: cannot open %s: %s\n", file.c_str(), db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return 1;
    }
    sqlite3_busy_timeout(db, 60000);
    int rc = 0;
    for (int t = 0; t < 2 && rc == 0; ++t) {
        std::string sql = std::string("DELETE FROM ") + kTables[t][0] + " WHERE rowid IN (SELECT rowid FROM " +
                          kTables[t][0] + " WHERE RUNTIME < ?1 LIMIT " + std::to_string(kBatchRows) + ")";
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            fprintf(stderr, "sitedb: %s: %s\n", file.c_str(), sqlite3_errmsg(db));
            rc = 1;
            break;
        }
        for (;;) {
            sqlite3_bind_int64(st, 1, before);
            int step = sqlite3_step(st);
            sqlite3_reset(st);
            if (step != SQLITE_DONE) {
                fprintf(stderr, "sitedb: %s: %s\n", file.c_str(), sqlite3_errmsg(db));
                rc = 1;
                break;
            }
            int n = sqlite3_changes(db);
            removed.rows[t] += n;
            if (n < kBatchRows)
                break;
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rc;
}

int prunePostgres(const std::string& uri, long long before, Counts& removed)
{
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"10", uri.c_str(), nullptr};
    PGconn* c = PQconnectdbParams(keys, values, 1);
    if (PQstatus(c) != CONNECTION_OK) {
        fprintf(stderr, "sitedb: %s", PQerrorMessage(c));
        PQfinish(c);
        return 1;
    }
    const std::string limit = std::to_string(before);
    const char* params[] = {limit.c_str()};
    int rc = 0;
    for (int t = 0; t < 2 && rc == 0; ++t) {
        std::string sql = std::string("DELETE FROM ") + kTables[t][1] + " WHERE ctid = ANY (ARRAY(SELECT ctid FROM " +
                          kTables[t][1] + " WHERE runtime < $1 LIMIT " + std::to_string(kBatchRows) + "))";
        for (;;) {
            PGresult* r = PQexecParams(c, sql.c_str(), 1, nullptr, params, nullptr, nullptr, 0);
            if (PQresultStatus(r) != PGRES_COMMAND_OK) {
                fprintf(stderr, "sitedb: %s", PQresultErrorMessage(r));
                PQclear(r);
                rc = 1;
                break;
            }
            long long n = strtoll(PQcmdTuples(r), nullptr, 10);
            PQclear(r);
            removed.rows[t] += n;
            if (n < kBatchRows)
                break;
        }
    }
    PQfinish(c);
    return rc;
}

}  // namespace

bool parseAge(const std::string& text, long long& seconds)
{
    char* end = nullptr;
    errno = 0;
    long long n = strtoll(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || errno != 0 || !end || end[0] == '\0' || end[1] != '\0')
        return false;
    long long unit = end[0] == 'd' ? 86400 : end[0] == 'h' ? 3600 : end[0] == 'm' ? 60 : 0;
    if (unit == 0 || n > 100LL * 365 * 86400 / unit)
        return false;
    seconds = n * unit;
    return true;
}

int runPrune(const std::vector<std::string>& args, const std::string& defaultConnect, time_t now)
{
    std::string connect = defaultConnect, age;
    bool force = false, connectGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--older-than" && i + 1 < args.size()) {
            age = args[++i];
        } else if (args[i] == "--force") {
            force = true;
        } else if (!connectGiven && !args[i].empty() && args[i][0] != '-') {
            connect = args[i];
            connectGiven = true;
        } else {
            fputs("usage: sitedb prune --older-than AGE [--force] [CONNECT]   (AGE as 90d, 12h, 30m)\n", stderr);
            return 2;
        }
    }
    long long seconds = 0;
    if (age.empty() || !parseAge(age, seconds)) {
        fprintf(stderr,
                "sitedb: prune needs --older-than AGE, a number of days, hours or minutes (90d, 12h, "
                "30m), not \"%s\": nothing removed\n",
                age.c_str());
        return 2;
    }
    if (seconds < 86400 && !force) {
        fprintf(stderr, "sitedb: %s would remove today's rows: give --force to mean it; nothing removed\n",
                age.c_str());
        return 1;
    }
    const long long before = static_cast<long long>(now) - seconds;
    Counts removed;
    int rc;
    if (dmoci::isPostgresUri(connect)) {
        rc = prunePostgres(connect, before, removed);
    } else {
        std::string file, why;
        if (!dmoci::databaseFile(connect, file, why)) {
            fprintf(stderr, "sitedb: %s\n", why.c_str());
            return 1;
        }
        rc = pruneSqlite(file, before, removed);
    }
    char when[32];
    time_t limit = static_cast<time_t>(before);
    struct tm tm;
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%SZ", gmtime_r(&limit, &tm));
    printf("%lld rows and %lld delivery records from before %s removed\n", removed.rows[0], removed.rows[1], when);
    return rc;
}
