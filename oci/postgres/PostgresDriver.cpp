// The driver of a PostgreSQL server: a session is a PgSession (its
// connection, prepared statements and transaction), a statement one
// prepared there, and a query's cursor its result, read row by row. Every
// value goes over as text.

#include "Driver.h"
#include "Postgres.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace dmoci {

namespace {

struct PgCursor {
    std::shared_ptr<PgRows> rows;
    bool onRow = false;
};

PgSession& ours(Session* s)
{
    return *reinterpret_cast<PgSession*>(s);
}

PgCursor* ours(Cursor* c)
{
    return reinterpret_cast<PgCursor*>(c);
}

bool attach(const std::string& connect, std::string& uri, Failure&)
{
    uri = connect;  // the server is reached when the session begins
    return true;
}

Session* open(const std::string& uri, const std::string&, const std::string& user, const std::string& password,
              Failure& failure)
{
    auto session = std::make_unique<PgSession>();
    if (!session->open(uri, user, password, failure))
        return nullptr;
    return reinterpret_cast<Session*>(session.release());
}

void close(Session* session)
{
    delete &ours(session);
}

Statement* prepare(Session* session, const std::string& text, int& parameters, bool& query, Failure& failure)
{
    const PgSession::Prepared* p = ours(session).prepare(text, failure);
    if (!p)
        return nullptr;
    parameters = p->parameters;
    query = p->query;
    return reinterpret_cast<Statement*>(const_cast<PgSession::Prepared*>(p));
}

// A value in the server's text form; false with failure when it has none.
bool textOf(const Value& v, std::string& text, Failure& failure)
{
    switch (v.kind) {
    case Value::Null:
        return true;
    case Value::Text:
        if (memchr(v.text.data(), 0, v.text.size())) {
            // libpq hands values over as C strings: a NUL would cut the
            // value short without a word. Refused, as the server refuses
            // a NUL in text.
            failure = {29275, "partial multibyte character (a NUL byte, which the server stores in no text)"};
            return false;
        }
        text.assign(v.text);
        return true;
    case Value::Int:
        text = std::to_string(v.i);
        return true;
    case Value::Real: {
        char buf[40];
        snprintf(buf, sizeof buf, "%.17g", v.d);
        text = buf;
        return true;
    }
    }
    return false;
}

bool execute(Session* session, Statement* statement, const std::vector<Value>& values, Cursor*& cursor,
             unsigned& changed, Failure& failure)
{
    std::vector<std::string> texts(values.size());
    std::vector<const char*> params(values.size(), nullptr);
    for (size_t i = 0; i < values.size(); ++i) {
        if (!textOf(values[i], texts[i], failure))
            return false;
        if (values[i].kind != Value::Null)
            params[i] = texts[i].c_str();
    }
    std::shared_ptr<PgRows> rows;
    const auto* prepared = reinterpret_cast<const PgSession::Prepared*>(statement);
    if (!ours(session).execute(*prepared, params, rows, changed, failure))
        return false;
    if (rows)
        cursor = reinterpret_cast<Cursor*>(new PgCursor{std::move(rows), false});
    return true;
}

bool commit(Session* session, Failure& failure)
{
    return ours(session).commit(failure);
}

bool rollback(Session* session, Failure& failure)
{
    return ours(session).rollback(failure);
}

int fetch(Cursor* cursor, Failure& failure)
{
    PgCursor* c = ours(cursor);
    int rc = c->rows->next(failure);
    c->onRow = rc == 1;
    return rc;
}

int columns(Cursor* c)
{
    return ours(c)->rows->columns();
}

Value column(Cursor* cursor, int col, Value::Kind)
{
    PgCursor* c = ours(cursor);
    Value v;
    if (!c->onRow || c->rows->isNull(col))
        return v;
    v.kind = Value::Text;
    v.text = std::string_view(c->rows->value(col), c->rows->length(col));
    return v;
}

void closeCursor(Cursor* c)
{
    delete ours(c);
}

}  // namespace

const Driver kPostgresDriver = {attach,   open,  close,   prepare, execute,    commit,
                                rollback, fetch, columns, column,  closeCursor};

}  // namespace dmoci
