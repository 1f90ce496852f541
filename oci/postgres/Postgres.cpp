#include "Postgres.h"

#include "PgLib.h"
#include "Translate.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace dmoci {

namespace {

std::string trimmed(const char* message)
{
    std::string s = message ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    for (char& c : s) {
        if (c == '\n' || c == '\t')
            c = ' ';
    }
    return s;
}

// The server's SQLSTATE as the interface's error numbers.
struct StateMap {
    const char* state;
    int code;
    const char* text;  // nullptr: the server's own message
};
const StateMap kStates[] = {
    {"28P01", 1017, "invalid username/password; logon denied"},
    {"28000", 1017, "invalid username/password; logon denied"},
    {"42501", 1031, "insufficient privileges"},
    {"42P01", 942, "table or view does not exist"},
    {"42883", 904, nullptr},
    {"42703", 904, nullptr},
    {"23505", 1, "unique constraint violated"},
    {"23503", 2291, "integrity constraint violated - parent key not found"},
    {"23502", 1400, "cannot insert NULL"},
    {"P0001", 20000, nullptr},
    {"57014", 1013, "user requested cancel of current operation"},
    {"57P01", 28, "your session has been killed"},
    {"57P02", 3113, "end-of-file on communication channel"},
    {"57P03", 1033, "initialization or shutdown in progress"},
    {"3D000", 12514, nullptr},
    {"25P02", 2091, "transaction rolled back"},
    {"40001", 8177, "can't serialize access for this transaction"},
    {"40P01", 60, "deadlock detected while waiting for resource"},
    {"22001", 12899, "value too large for column"},
    {"22021", 29275, "partial multibyte character"},
    {"22P05", 29275, "partial multibyte character"},
    {"22003", 1438, "value larger than specified precision allowed for this column"},
};

// A connection that did not come up, by what libpq said.
Failure connectFailure(const std::string& message)
{
    struct {
        const char* says;
        int code;
        const char* text;
    } const known[] = {
        {"password authentication failed", 1017, "invalid username/password; logon denied"},
        {"no password supplied", 1017, "invalid username/password; logon denied"},
        {"does not exist", 12514, nullptr},
        {"timeout expired", 12170, "TNS:Connect timeout occurred"},
        {"Connection refused", 12541, "TNS:no listener"},
        {"No such file or directory", 12541, "TNS:no listener"},
        {"could not translate host name", 12154, "TNS:could not resolve the connect identifier specified"},
        {"the database system is", 1033, "ORACLE initialization or shutdown in progress"},
    };
    for (const auto& k : known) {
        if (message.find(k.says) != std::string::npos)
            return {k.code, k.text ? std::string(k.text) + " (" + message + ")" : message};
    }
    return {12154, message};
}

}  // namespace

PgRows::PgRows(PgSession& session, std::string cursor, pg_result* first)
    : transaction_(session.transaction_), began_(*session.transaction_), session_(session), cursor_(std::move(cursor)),
      r_(first), last_(pq().PQntuples(first) < PgSession::kBatchRows)
{}

PgRows::~PgRows()
{
    if (!transaction_.expired() && session_.ahead_ == this)
        land();
    pq().PQclear(next_);
    pq().PQclear(r_);
    if (!last_ && !transaction_.expired())
        session_.closeCursor(cursor_, began_);
}

void PgRows::askAhead()
{
    if (last_ || next_)
        return;
    session_.landAhead();
    const std::string sql = PgSession::fetchSql(cursor_);
    if (pq().PQsendQuery(session_.conn_, sql.c_str()) == 1)
        session_.ahead_ = this;
}

void PgRows::land()
{
    pg_result* got = nullptr;
    while (pg_result* r = pq().PQgetResult(session_.conn_)) {
        if (got)
            pq().PQclear(r);
        else
            got = r;
    }
    next_ = got;
    session_.ahead_ = nullptr;
}

int PgRows::next(Failure& failure)
{
    if (row_ + 1 < pq().PQntuples(r_)) {
        ++row_;
        return 1;
    }
    if (last_)
        return 0;
    auto transaction = transaction_.lock();
    if (transaction && session_.ahead_ == this)
        land();
    pg_result* r = next_;
    next_ = nullptr;
    if (r && pq().PQresultStatus(r) != PGRES_TUPLES_OK) {
        failure = session_.failureOf(r);
        pq().PQclear(r);
        return -1;
    }
    if (!r) {
        if (!transaction || *transaction != began_ || !session_.inTransaction_) {
            failure = {1002, "fetch out of sequence (the query's transaction has ended)"};
            return -1;
        }
        r = session_.fetchBatch(cursor_, failure);
        if (!r)
            return -1;
    }
    pq().PQclear(r_);
    r_ = r;
    row_ = -1;
    last_ = pq().PQntuples(r_) < PgSession::kBatchRows;
    if (transaction && *transaction == began_ && session_.inTransaction_)
        askAhead();
    return next(failure);
}

int PgRows::columns() const
{
    return pq().PQnfields(r_);
}

bool PgRows::isNull(int col) const
{
    return pq().PQgetisnull(r_, row_, col) != 0;
}

const char* PgRows::value(int col) const
{
    return pq().PQgetvalue(r_, row_, col);
}

size_t PgRows::length(int col) const
{
    return static_cast<size_t>(pq().PQgetlength(r_, row_, col));
}

void PgSession::landAhead()
{
    if (ahead_)
        ahead_->land();
}

pg_result* PgSession::fetchBatch(const std::string& cursor, Failure& failure)
{
    landAhead();
    const std::string sql = fetchSql(cursor);
    PGresult* r = pq().PQexec(conn_, sql.c_str());
    if (pq().PQresultStatus(r) == PGRES_TUPLES_OK)
        return r;
    failure = failureOf(r);
    pq().PQclear(r);
    return nullptr;
}

void PgSession::closeCursor(const std::string& cursor, unsigned long transaction)
{
    landAhead();
    if (!inTransaction_ || *transaction_ != transaction)
        return;
    std::string sql = "CLOSE " + cursor;
    pq().PQclear(pq().PQexec(conn_, sql.c_str()));
}

PgSession::~PgSession()
{
    if (conn_)
        pq().PQfinish(conn_);
}

bool PgSession::open(const std::string& uri, const std::string& user, const std::string& password, Failure& failure)
{
    // Keywords before dbname are defaults that the URI's own values override.
    // Without a password of the caller's, libpq finds one as it always
    // does: in the URI, PGPASSWORD, the file PGPASSFILE names (the database
    // unit hands one over as a credential, standing for the built-in
    // password) or ~/.pgpass.
    const char* passFile = getenv("PGPASSFILE");
    bool fromFile = passFile && *passFile && access(passFile, R_OK) == 0;
    const char* keys[] = {"user", "connect_timeout", "application_name", "password", "dbname", nullptr};
    const char* values[] = {user.c_str(), "10", "adjtimelog", password.c_str(), uri.c_str(), nullptr};
    if (fromFile || password.empty()) {
        keys[3] = "dbname";
        values[3] = uri.c_str();
        keys[4] = values[4] = nullptr;
    }
    std::string why;
    if (!pgLib(why)) {
        failure = {12560, "TNS:protocol adapter error (" + why + ")"};
        return false;
    }
    conn_ = pq().PQconnectdbParams(keys, values, 1);
    if (!conn_) {
        failure = {12154, "out of memory"};
        return false;
    }
    if (pq().PQstatus(conn_) != CONNECTION_OK) {
        failure = connectFailure(trimmed(pq().PQerrorMessage(conn_)));
        if (pq().PQconnectionNeedsPassword(conn_))
            failure = {1005, "null password given; logon denied (the server asks for a password, and none was "
                             "found in the URI, PGPASSWORD, PGPASSFILE or ~/.pgpass)"};
        pq().PQfinish(conn_);
        conn_ = nullptr;
        return false;
    }
    // The server's notices are not the program's to print on its streams.
    pq().PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    user_ = user;
    return true;
}

Failure PgSession::failureOf(pg_result* r) const
{
    const char* state = r ? pq().PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    std::string message = trimmed(r ? pq().PQresultErrorMessage(r) : pq().PQerrorMessage(conn_));
    if (const char* primary = r ? pq().PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr)
        message = primary;
    if (pq().PQstatus(conn_) != CONNECTION_OK || !state)
        return {3113, "end-of-file on communication channel (" + message + ")"};
    for (const StateMap& m : kStates) {
        if (strcmp(state, m.state) == 0)
            return {m.code, m.text ? std::string(m.text) + " (" + message + ")" : message};
    }
    if (strncmp(state, "22", 2) == 0)  // any other value the server cannot take
        return {1460, std::string("unimplemented or unreasonable conversion requested (SQLSTATE ") + state + ": " +
                          message + ")"};
    return {20001, std::string("SQLSTATE ") + state + ": " + message};
}

bool PgSession::command(const char* sql, Failure& failure)
{
    landAhead();
    PGresult* r = pq().PQexec(conn_, sql);
    bool ok = pq().PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok)
        failure = failureOf(r);
    pq().PQclear(r);
    return ok;
}

const PgSession::Prepared* PgSession::prepare(const std::string& statement, Failure& failure)
{
    landAhead();
    auto it = prepared_.find(statement);
    if (it != prepared_.end())
        return &it->second;
    Prepared p;
    p.name = "dmoci_" + std::to_string(prepared_.size() + 1);
    std::string sql = translateForPostgres(statement, user_);
    SequenceKey key;
    if (sequenceKey(sql, key) && !keyedInsert(key, sql, p.conflictColumn, failure))
        return nullptr;
    p.sql = sql;
    PGresult* r = pq().PQprepare(conn_, p.name.c_str(), sql.c_str(), 0, nullptr);
    bool ok = pq().PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok)
        failure = failureOf(r);
    pq().PQclear(r);
    if (!ok) {
        // A failed prepare inside a transaction aborts it, as a failed statement does.
        return nullptr;
    }
    r = pq().PQdescribePrepared(conn_, p.name.c_str());
    bool described = pq().PQresultStatus(r) == PGRES_COMMAND_OK;
    p.parameters = described ? pq().PQnparams(r) : 0;
    p.query = described && pq().PQnfields(r) > 0;
    pq().PQclear(r);
    return &prepared_.emplace(statement, p).first->second;
}

// An insert that takes its key from a sequence, as the server's table has
// it: where the column's default is that sequence, the server fills it and
// the statement leaves it out (no node can choose a key, nor needs the
// privilege to); where a unique index holds the key, a key taken already is
// passed over rather than failing the transaction.
bool PgSession::keyedInsert(const SequenceKey& key, std::string& sql, std::string& conflictColumn, Failure& failure)
{
    landAhead();
    std::string column = key.column;
    for (char& c : column)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const char* query = "SELECT EXISTS (SELECT 1 FROM pg_attribute a JOIN pg_attrdef d ON d.adrelid = a.attrelid "
                        "AND d.adnum = a.attnum WHERE a.attrelid = to_regclass($1) AND a.attname = $2 "
                        "AND pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%'), "
                        "EXISTS (SELECT 1 FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid "
                        "AND a.attnum = i.indkey[0] WHERE i.indrelid = to_regclass($1) AND i.indisunique "
                        "AND i.indnatts = 1 AND a.attname = $2)";
    const char* params[] = {key.table.c_str(), column.c_str()};
    PGresult* r = pq().PQexecParams(conn_, query, 2, nullptr, params, nullptr, nullptr, 0);
    bool ok = pq().PQresultStatus(r) == PGRES_TUPLES_OK && pq().PQntuples(r) == 1;
    if (!ok) {
        failure = failureOf(r);
        pq().PQclear(r);
        return false;
    }
    bool serverFills = strcmp(pq().PQgetvalue(r, 0, 0), "t") == 0;
    bool unique = strcmp(pq().PQgetvalue(r, 0, 1), "t") == 0;
    pq().PQclear(r);
    if (serverFills)
        sql = key.without;
    if (unique) {
        sql += " ON CONFLICT (" + column + ") DO NOTHING";
        conflictColumn = column;
    }
    return true;
}

bool PgSession::execute(const Prepared& statement, const std::vector<const char*>& values,
                        std::shared_ptr<PgRows>& rows, unsigned& changed, Failure& failure)
{
    // Keys taken already: passed over, a bounded number of them.
    const int kKeysPassedOver = 100;
    for (int taken = 0;; ++taken) {
        if (!executeOnce(statement, values, rows, changed, failure))
            return false;
        if (statement.conflictColumn.empty() || changed > 0 || rows)
            return true;
        if (taken == kKeysPassedOver) {
            failure = {20001, "unique constraint on " + statement.conflictColumn + " violated: the next " +
                                  std::to_string(kKeysPassedOver) + " values of its sequence are taken"};
            return false;
        }
    }
}

bool PgSession::executeOnce(const Prepared& statement, const std::vector<const char*>& values,
                            std::shared_ptr<PgRows>& rows, unsigned& changed, Failure& failure)
{
    landAhead();
    if (!inTransaction_) {
        if (!command("BEGIN", failure))
            return false;
        inTransaction_ = true;
        ++*transaction_;
    }
    if (statement.query) {
        // A query's rows come through a cursor, a batch at a time.
        std::string cursor = "dmoci_cursor_" + std::to_string(++cursors_);
        std::string declare = "DECLARE " + cursor + " NO SCROLL CURSOR FOR " + statement.sql;
        PGresult* r = pq().PQexecParams(conn_, declare.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                        nullptr, nullptr, 0);
        bool declared = pq().PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!declared)
            failure = failureOf(r);
        pq().PQclear(r);
        if (!declared)
            return false;
        PGresult* first = fetchBatch(cursor, failure);
        if (!first)
            return false;
        rows = std::make_shared<PgRows>(*this, cursor, first);
        rows->askAhead();
        changed = 0;
        return true;
    }
    PGresult* r = pq().PQexecPrepared(conn_, statement.name.c_str(), static_cast<int>(values.size()), values.data(),
                                      nullptr, nullptr, 0);
    ExecStatusType status = pq().PQresultStatus(r);
    if (status == PGRES_COMMAND_OK) {
        changed = static_cast<unsigned>(strtoul(pq().PQcmdTuples(r), nullptr, 10));
        pq().PQclear(r);
        return true;
    }
    failure = failureOf(r);
    pq().PQclear(r);
    return false;
}

bool PgSession::commit(Failure& failure)
{
    landAhead();
    if (!inTransaction_)
        return true;
    inTransaction_ = false;
    PGresult* r = pq().PQexec(conn_, "COMMIT");
    bool ok = pq().PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) {
        failure = failureOf(r);  // refused (a deferred constraint): rolled back
    } else if (strcmp(pq().PQcmdStatus(r), "ROLLBACK") == 0) {
        // A transaction that a failed statement aborted ends in a rollback.
        failure = {2091, "transaction rolled back"};
        ok = false;
    }
    pq().PQclear(r);
    return ok;
}

bool PgSession::rollback(Failure& failure)
{
    landAhead();
    if (!inTransaction_)
        return true;
    inTransaction_ = false;
    return command("ROLLBACK", failure);
}

}  // namespace dmoci
