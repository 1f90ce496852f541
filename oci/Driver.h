// A backend of the stand-in client library, as one table of functions (as
// apr-util's database drivers fill one struct each): the interface's
// handles and dispatch (OciApi.cpp) and the conversions of the caller's
// variables (Values.h) are written once above every driver.
//
//   sqlite/    a site database file, through SQLite (the embedded default)
//   postgres/  a PostgreSQL server, through libpq (a postgresql:// URI)
#pragma once

#include "Failure.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dmoci {

// A value crossing the interface: what a bind holds, what a column gives.
struct Value {
    enum Kind : uint8_t { Null, Text, Int, Real };
    Kind kind = Null;
    std::string_view text;  // Text: the caller's bytes, or the driver's row
    long long i = 0;        // Int
    double d = 0;           // Real
};

// Opaque: a driver hands its own session, compiled statement and rows of a
// query out as these, and takes them back only through its own table (a
// pointer cast to another object type and back is the pointer it was).
// They are never defined.
struct Session;
struct Statement;
struct Cursor;

struct Driver {
    // At attach: where the connect string leads (a file, or the URI
    // itself); false with failure when it names no database.
    bool (*attach)(const std::string& connect, std::string& target, Failure& failure);
    // A session on the target, the account checked; nullptr with failure.
    Session* (*open)(const std::string& target, const std::string& connect, const std::string& user,
                     const std::string& password, Failure& failure);
    // Ends a session without a commit.
    void (*close)(Session* session);

    // A statement compiled in the session (once: the session keeps it to
    // its end), how many values it takes and whether it gives rows;
    // nullptr with failure when the statement is refused.
    Statement* (*prepare)(Session* session, const std::string& text, int& parameters, bool& query, Failure& failure);
    // Runs a prepared statement with one value per parameter, in order,
    // inside the session's transaction (opened by the first statement
    // after a commit or rollback). A query's rows go to cursor; otherwise
    // changed counts the rows the statement touched. The values must stay
    // valid until the rows are read.
    bool (*execute)(Session* session, Statement* statement, const std::vector<Value>& values, Cursor*& cursor,
                    unsigned& changed, Failure& failure);
    bool (*commit)(Session* session, Failure& failure);
    bool (*rollback)(Session* session, Failure& failure);

    // The next row: 1, 0 after the last, -1 with failure.
    int (*fetch)(Cursor* cursor, Failure& failure);
    int (*columns)(Cursor* cursor);
    // A column of the current row, in the kind wanted when the driver can
    // give it; Values.h converts text to what the caller defined.
    Value (*column)(Cursor* cursor, int col, Value::Kind wanted);
    void (*closeCursor)(Cursor* cursor);
};

extern const Driver kSqliteDriver;
extern const Driver kPostgresDriver;

// The driver of a connect string: a postgresql:// or postgres:// URI is
// the server's, anything else names a site database file.
const Driver& driverFor(const std::string& connect);

}  // namespace dmoci
