// The driver of a site database file: a session is a Database (its
// connection, compiled statements and transaction), a statement is one
// compiled there, and a query's cursor steps through its rows.

#include "Connect.h"
#include "Database.h"
#include "Driver.h"
#include "SqliteLib.h"

#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace dmoci {

namespace {

struct SqliteSession {
    std::shared_ptr<Database> db;
};

struct SqliteCursor {
    std::weak_ptr<Database> db;  // the statement goes with its session
    sqlite3_stmt* running = nullptr;
    sqlite3_stmt* own = nullptr;  // compiled for this cursor: the cached one was busy
    bool done = false;
    SqliteCursor() = default;
    SqliteCursor(const SqliteCursor&) = delete;
    SqliteCursor& operator=(const SqliteCursor&) = delete;
    ~SqliteCursor()
    {
        if (running && !db.expired())
            sq().sqlite3_reset(running);
        if (own)
            sq().sqlite3_finalize(own);
    }
};

SqliteSession* ours(Session* s)
{
    return reinterpret_cast<SqliteSession*>(s);
}

SqliteCursor* ours(Cursor* c)
{
    return reinterpret_cast<SqliteCursor*>(c);
}

bool attach(const std::string& connect, std::string& file, Failure& failure)
{
    std::string why;
    if (!databaseFile(connect, file, why)) {
        failure = {12154, "TNS:could not resolve the connect identifier specified (" + why + ")"};
        return false;
    }
    if (access(file.c_str(), F_OK) != 0) {
        failure = {12514, "TNS:listener does not currently know of service requested in connect descriptor (\"" +
                              connect + "\": no database " + file + ")"};
        return false;
    }
    return true;
}

Session* open(const std::string& file, const std::string& connect, const std::string& user, const std::string& password,
              Failure& failure)
{
    auto db = std::make_shared<Database>();
    if (!db->open(file, connect, user, password, failure))
        return nullptr;
    return reinterpret_cast<Session*>(new SqliteSession{std::move(db)});
}

void close(Session* session)
{
    delete ours(session);
}

Statement* prepare(Session* session, const std::string& text, int& parameters, bool& query, Failure& failure)
{
    sqlite3_stmt* s = ours(session)->db->prepare(text, failure);
    if (!s)
        return nullptr;
    parameters = sq().sqlite3_bind_parameter_count(s);
    query = sq().sqlite3_column_count(s) > 0;
    return reinterpret_cast<Statement*>(s);
}

bool bind(sqlite3_stmt* s, int i, const Value& v)
{
    switch (v.kind) {
    case Value::Null:
        return sq().sqlite3_bind_null(s, i) == SQLITE_OK;
    case Value::Text:
        return sq().sqlite3_bind_text(s, i, v.text.data(), static_cast<int>(v.text.size()), SQLITE_STATIC) == SQLITE_OK;
    case Value::Int:
        return sq().sqlite3_bind_int64(s, i, v.i) == SQLITE_OK;
    case Value::Real:
        return sq().sqlite3_bind_double(s, i, v.d) == SQLITE_OK;
    }
    return false;
}

bool execute(Session* session, Statement* statement, const std::vector<Value>& values, Cursor*& cursor,
             unsigned& changed, Failure& failure)
{
    const std::shared_ptr<Database>& db = ours(session)->db;
    auto* s = reinterpret_cast<sqlite3_stmt*>(statement);
    std::unique_ptr<SqliteCursor> c;
    if (sq().sqlite3_stmt_busy(s)) {
        // The cached statement is another handle's open cursor.
        c = std::make_unique<SqliteCursor>();
        if (sq().sqlite3_prepare_v2(db->handle(), sq().sqlite3_sql(s), -1, &c->own, nullptr) != SQLITE_OK) {
            failure = db->lastError();
            return false;
        }
        s = c->own;
    }
    // Every position is bound anew before each step.
    for (size_t i = 0; i < values.size(); ++i) {
        if (!bind(s, static_cast<int>(i) + 1, values[i])) {
            failure = db->lastError();
            return false;
        }
    }
    if (!sq().sqlite3_stmt_readonly(s) && !db->beginIfNeeded(failure))
        return false;
    if (sq().sqlite3_column_count(s) > 0) {
        if (!c)
            c = std::make_unique<SqliteCursor>();
        c->db = db;
        c->running = s;
        cursor = reinterpret_cast<Cursor*>(c.release());
        return true;
    }
    int rc = sq().sqlite3_step(s);
    // A key from a sequence that is taken already (a writer of its own, a
    // value put in by hand) is passed over: the statement alone failed, and
    // done again it takes the next one. A bounded number of them.
    const int kKeysPassedOver = 100;
    auto keyTaken = [&]() {
        return (rc & 0xff) == SQLITE_CONSTRAINT &&
               sq().sqlite3_extended_errcode(db->handle()) == SQLITE_CONSTRAINT_PRIMARYKEY &&
               strstr(sq().sqlite3_sql(s), "dmoci_nextval(") != nullptr;
    };
    for (int taken = 0; keyTaken(); ++taken) {
        sq().sqlite3_reset(s);
        if (taken == kKeysPassedOver) {
            failure = {20001, "unique constraint on the key violated: the next " + std::to_string(kKeysPassedOver) +
                                  " values of its sequence are taken"};
            db->noteStatementFailure();
            return false;
        }
        rc = sq().sqlite3_step(s);
    }
    bool ok = rc == SQLITE_DONE || rc == SQLITE_ROW;
    if (!ok)
        failure = db->lastError();  // before the reset, which may change it
    else
        changed = static_cast<unsigned>(sq().sqlite3_changes(db->handle()));
    sq().sqlite3_reset(s);
    if (!ok)
        db->noteStatementFailure();
    return ok;
}

bool commit(Session* session, Failure& failure)
{
    return ours(session)->db->commit(failure);
}

bool rollback(Session* session, Failure& failure)
{
    return ours(session)->db->rollback(failure);
}

int fetch(Cursor* cursor, Failure& failure)
{
    SqliteCursor* c = ours(cursor);
    auto db = c->db.lock();
    if (!db) {
        failure = {24338, "statement handle not executed"};
        return -1;
    }
    if (c->done)
        return 0;
    int rc = sq().sqlite3_step(c->running);
    if (rc == SQLITE_ROW)
        return 1;
    c->done = true;
    if (rc != SQLITE_DONE)
        failure = db->lastError();
    sq().sqlite3_reset(c->running);
    return rc == SQLITE_DONE ? 0 : -1;
}

int columns(Cursor* c)
{
    return sq().sqlite3_column_count(ours(c)->running);
}

Value column(Cursor* c, int col, Value::Kind wanted)
{
    sqlite3_stmt* s = ours(c)->running;
    Value v;
    if (sq().sqlite3_column_type(s, col) == SQLITE_NULL)
        return v;
    v.kind = wanted;
    switch (wanted) {
    case Value::Int:
        v.i = sq().sqlite3_column_int64(s, col);
        break;
    case Value::Real:
        v.d = sq().sqlite3_column_double(s, col);
        break;
    default: {
        // The text first: sqlite3_column_bytes then counts its bytes.
        const char* text = reinterpret_cast<const char*>(sq().sqlite3_column_text(s, col));
        v.kind = Value::Text;
        v.text = std::string_view(text ? text : "", static_cast<size_t>(sq().sqlite3_column_bytes(s, col)));
    }
    }
    return v;
}

void closeCursor(Cursor* c)
{
    delete ours(c);
}

}  // namespace

const Driver kSqliteDriver = {attach,   open,  close,   prepare, execute,    commit,
                              rollback, fetch, columns, column,  closeCursor};

}  // namespace dmoci
