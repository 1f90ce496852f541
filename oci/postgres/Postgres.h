// A session of the stand-in client library on a PostgreSQL server, through
// libpq: the connect string is a libpq URI. What a server keeps for the
// session is kept there: statements are prepared once per session on the
// server, and a transaction is opened by the first statement after a commit
// or rollback. Errors read as the interface's, "ORA-nnnnn", mapped from the
// server's SQLSTATE.
#pragma once

#include "Failure.h"
#include "Translate.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct pg_conn;
struct pg_result;

namespace dmoci {

class PgSession;

// The rows of a query, read through a cursor on the server a batch at a
// time, so a query of millions of rows holds two batches in memory: the
// next is asked for as soon as one arrives, so that the server reads it
// while the caller takes the rows of this one. Anything else the session
// runs first lands the batch on its way. The cursor lives in the
// session's transaction: a commit or rollback ends it.
class PgRows {
public:
    PgRows(PgSession& session, std::string cursor, pg_result* first);
    PgRows(const PgRows&) = delete;
    PgRows& operator=(const PgRows&) = delete;
    ~PgRows();
    // The next row: 1, 0 after the last, -1 with failure.
    int next(Failure& failure);
    int columns() const;
    bool isNull(int col) const;
    const char* value(int col) const;
    size_t length(int col) const;
    // Asks for the next batch without waiting for it.
    void askAhead();
    // Takes the batch asked for off the connection.
    void land();

private:
    std::weak_ptr<unsigned long> transaction_;  // the session's, while it lasts
    unsigned long began_;                       // the transaction it was declared in
    PgSession& session_;
    std::string cursor_;
    pg_result* r_;
    pg_result* next_ = nullptr;  // the batch asked for ahead, once landed
    int row_ = -1;
    bool last_ = false;  // the batch held is the cursor's last
};

class PgSession {
public:
    PgSession() = default;
    PgSession(const PgSession&) = delete;
    PgSession& operator=(const PgSession&) = delete;
    ~PgSession();

    // Connects. Unless the URI names them, the role and password are the
    // session's user name and password; a connect timeout is always set.
    bool open(const std::string& uri, const std::string& user, const std::string& password, Failure& failure);

    // A statement as prepared on the server: its name there, the number of
    // its parameters and whether it gives rows.
    struct Prepared {
        std::string name;
        int parameters = 0;
        bool query = false;
        // An insert whose key comes from a sequence: a key taken already
        // (a writer of its own, an earlier schema) is passed over, the
        // insert done again with the next one (conflictColumn names it).
        std::string conflictColumn;
        std::string sql;  // as the server reads it
    };
    // Prepares a statement the first time it is asked for; nullptr on
    // failure. The statement stays prepared for the whole session.
    const Prepared* prepare(const std::string& statement, Failure& failure);

    // Runs a prepared statement with text values (nullptr for NULL). A
    // query's rows go to rows; otherwise changed counts the rows it touched.
    bool execute(const Prepared& statement, const std::vector<const char*>& values, std::shared_ptr<PgRows>& rows,
                 unsigned& changed, Failure& failure);

    bool commit(Failure& failure);
    bool rollback(Failure& failure);

    // A query's next batch of rows, from its cursor; nullptr with failure.
    pg_result* fetchBatch(const std::string& cursor, Failure& failure);
    // Closes a cursor that its transaction still holds.
    void closeCursor(const std::string& cursor, unsigned long transaction);
    static const int kBatchRows = 5000;
    // The statement that fetches a cursor's next batch.
    static std::string fetchSql(const std::string& cursor)
    {
        return "FETCH FORWARD " + std::to_string(kBatchRows) + " FROM " + cursor;
    }

private:
    friend class PgRows;
    bool executeOnce(const Prepared& statement, const std::vector<const char*>& values, std::shared_ptr<PgRows>& rows,
                     unsigned& changed, Failure& failure);
    bool keyedInsert(const SequenceKey& key, std::string& sql, std::string& conflictColumn, Failure& failure);
    bool command(const char* sql, Failure& failure);
    Failure failureOf(pg_result* r) const;

    pg_conn* conn_ = nullptr;
    std::string user_;
    bool inTransaction_ = false;
    PgRows* ahead_ = nullptr;  // the rows whose next batch is on its way
    void landAhead();
    // Counts the transactions begun; gone with the session, so a cursor
    // outliving it knows.
    std::shared_ptr<unsigned long> transaction_ = std::make_shared<unsigned long>(0);
    unsigned long cursors_ = 0;
    std::unordered_map<std::string, Prepared> prepared_;
};

}  // namespace dmoci
