// A session of the stand-in client library on a PostgreSQL server, through
// libpq: the connect string is a libpq URI. What a server keeps for the
// session is kept there: statements are prepared once per session on the
// server, and a transaction is opened by the first statement after a commit
// or rollback. Errors read as the interface's, "ORA-nnnnn", mapped from the
// server's SQLSTATE.
#pragma once

#include "Failure.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct pg_conn;
struct pg_result;

namespace dmoci {

// The rows of a query, held until the statement is run again or released.
class PgRows {
public:
    explicit PgRows(pg_result* r) : r_(r) {}
    PgRows(const PgRows&) = delete;
    PgRows& operator=(const PgRows&) = delete;
    ~PgRows();
    int rows() const;
    int columns() const;
    bool isNull(int row, int col) const;
    const char* value(int row, int col) const;
    size_t length(int row, int col) const;

private:
    pg_result* r_;
};

class PgSession {
public:
    PgSession() = default;
    PgSession(const PgSession&) = delete;
    PgSession& operator=(const PgSession&) = delete;
    ~PgSession();

    // Connects. Unless the URI names them, the role and password are the
    // session's user name and password; a connect timeout is always set.
    bool open(const std::string& uri, const std::string& user, const std::string& password,
              Failure& failure);

    // The number of parameters of a statement and whether it gives rows,
    // preparing it on the server the first time; false on failure.
    bool describe(const std::string& statement, int& parameters, bool& query, Failure& failure);

    // Runs a prepared statement with text values (nullptr for NULL). A
    // query's rows go to rows; otherwise changed counts the rows it touched.
    bool execute(const std::string& statement, const std::vector<const char*>& values,
                 std::shared_ptr<PgRows>& rows, unsigned& changed, Failure& failure);

    bool commit(Failure& failure);
    bool rollback(Failure& failure);

private:
    struct Prepared {
        std::string name;
        int parameters = 0;
        bool query = false;
    };
    // The statement as prepared on the server, preparing it the first
    // time; nullptr on failure.
    const Prepared* prepared(const std::string& statement, Failure& failure);
    bool command(const char* sql, Failure& failure);
    Failure failureOf(pg_result* r) const;

    pg_conn* conn_ = nullptr;
    std::string user_;
    bool inTransaction_ = false;
    std::unordered_map<std::string, Prepared> prepared_;
};

}  // namespace dmoci
