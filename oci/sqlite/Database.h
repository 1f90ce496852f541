// One session's connection to a site database file, with what a server
// would keep for the session: compiled statements, the open transaction and
// the sequence values handed out in it.
#pragma once

#include "Failure.h"

#include <cstdint>
#include <map>
#include <sqlite3.h>
#include <string>
#include <unordered_map>

namespace dmoci {

class Database {
public:
    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    // Opens an existing database file and checks the account.
    bool open(const std::string& file, const std::string& connect, const std::string& user, const std::string& password,
              Failure& failure);

    // The compiled form of a statement text, kept for the whole session.
    sqlite3_stmt* prepare(const std::string& statement, Failure& failure);

    // Called before a statement runs: the first one after a commit opens a
    // transaction.
    bool beginIfNeeded(Failure& failure);
    // After a statement failed: SQLite may have rolled back the transaction.
    void noteStatementFailure();
    bool commit(Failure& failure);
    bool rollback(Failure& failure);
    bool inTransaction() const { return inTransaction_; }

    // Maps SQLite's last error on this connection to the server's.
    Failure lastError() const;

    // Sequence values, for the SQL functions.
    bool nextValue(const std::string& sequence, int64_t& value, std::string& error);
    bool currentValue(const std::string& sequence, int64_t& value, std::string& error);

    sqlite3* handle() const { return db_; }

private:
    struct Sequence {
        int64_t last = 0;  // the last value handed out
        bool changed = false;
    };
    bool exec(const char* sql, Failure& failure);
    bool saveSequences(Failure& failure);
    void keepSequencesAfterRollback();

    sqlite3* db_ = nullptr;
    std::string user_;
    bool inTransaction_ = false;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
    const std::string* lastText_ = nullptr;  // the statement prepared last
    sqlite3_stmt* last_ = nullptr;
    std::map<std::string, Sequence> sequences_;  // loaded in this transaction
    std::map<std::string, int64_t> current_;     // CURRVAL of this session
    struct {
        std::string asked;  // the name as the statement gave it
        Sequence* sequence = nullptr;
        int64_t* current = nullptr;
    } lastNext_;  // the sequence NEXTVAL asked for last, while it is loaded
};

// Hashes a password for the account table (crypt(3) with a fresh salt).
bool hashPassword(const std::string& password, std::string& hash);
// Tests a password against a stored hash, in constant time.
bool passwordMatches(const std::string& password, const std::string& hash);

// The library's own tables, created by the admin program.
extern const char kCatalogSql[];

}  // namespace dmoci
