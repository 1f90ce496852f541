// Statements of the interface, as a client writes them for the server, turned
// into SQLite's dialect: the session user's schema prefix goes (the user's
// tables are the database's own), "seq.NEXTVAL" becomes a call of the
// sequence function, ":1" becomes "?1", and a trailing ";" goes.
#pragma once

#include <string>

namespace dmoci {

std::string translateStatement(const std::string& statement, const std::string& user);

// The same statement for PostgreSQL: "schema.table" stays (PostgreSQL folds
// it to lower case), "seq.NEXTVAL" becomes nextval('user.seq') (the user's
// schema unless the sequence names one), ":1" becomes "$1", a column named
// OFFSET (a reserved word there) is quoted, and a trailing ";" goes.
std::string translateForPostgres(const std::string& statement, const std::string& user);

// An "INSERT INTO table (columns) VALUES (values)" one of whose values is a
// sequence's nextval(...): the table, that column, and the statement
// without the column and its value (for a column the server fills itself).
struct SequenceKey {
    std::string table, column, without;
};
bool sequenceKey(const std::string& insert, SequenceKey& key);

}  // namespace dmoci
