#include "Database.h"
#include "SqliteLib.h"
#include "Translate.h"

#include <algorithm>
#include <cctype>
#include <crypt.h>
#include <cstdlib>
#include <cstring>

namespace dmoci {

const char kCatalogSql[] = "CREATE TABLE IF NOT EXISTS DMOCI_USERS ("
                           " USERNAME TEXT PRIMARY KEY COLLATE NOCASE,"
                           " PASSWORD_HASH TEXT NOT NULL);"
                           "CREATE TABLE IF NOT EXISTS DMOCI_SEQUENCES ("
                           " NAME TEXT PRIMARY KEY COLLATE NOCASE,"
                           " LAST_VALUE INTEGER NOT NULL);";

namespace {

// How long a session waits for another one that holds the database.
const int kBusyTimeoutMs = 60000;

std::string upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return s;
}

void sequenceFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv, bool next)
{
    auto* db = static_cast<Database*>(sq().sqlite3_user_data(ctx));
    const unsigned char* name = argc == 1 ? sq().sqlite3_value_text(argv[0]) : nullptr;
    if (!name) {
        sq().sqlite3_result_error(ctx, "ORA-02289: sequence does not exist", -1);
        return;
    }
    int64_t value = 0;
    std::string error;
    bool ok = next ? db->nextValue(reinterpret_cast<const char*>(name), value, error)
                   : db->currentValue(reinterpret_cast<const char*>(name), value, error);
    if (ok)
        sq().sqlite3_result_int64(ctx, value);
    else
        sq().sqlite3_result_error(ctx, error.c_str(), -1);
}

void nextvalFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    sequenceFunction(ctx, argc, argv, true);
}

void currvalFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    sequenceFunction(ctx, argc, argv, false);
}

}  // namespace

bool hashPassword(const std::string& password, std::string& hash)
{
    const char* setting = crypt_gensalt(nullptr, 0, nullptr, 0);  // the library's best scheme
    if (!setting)
        return false;
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char* out = crypt_r(password.c_str(), setting, &data);
    bool made = out && out[0] != '*';
    if (made)
        hash = out;
    // The crypt data holds what the password was turned into on the way.
    explicit_bzero(&data, sizeof data);
    return made;
}

bool passwordMatches(const std::string& password, const std::string& hash)
{
    if (hash.empty() || hash[0] == '*' || hash[0] == '!')
        return false;
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char* out = crypt_r(password.c_str(), hash.c_str(), &data);
    bool match = false;
    if (out && out[0] != '*' && strlen(out) == hash.size()) {
        unsigned char diff = 0;  // every byte is compared: no timing hint
        for (size_t i = 0; i < hash.size(); ++i)
            diff |= static_cast<unsigned char>(out[i] ^ hash[i]);
        match = diff == 0;
    }
    explicit_bzero(&data, sizeof data);
    return match;
}

Database::~Database()
{
    for (auto& entry : statements_)
        sq().sqlite3_finalize(entry.second);
    // Closing without a commit leaves nothing behind, as ending a process does.
    if (db_)
        sq().sqlite3_close_v2(db_);
}

bool Database::open(const std::string& file, const std::string& connect, const std::string& user,
                    const std::string& password, Failure& failure)
{
    std::string why;
    if (!sqliteLib(why)) {
        failure = {12560, "TNS:protocol adapter error (" + why + ")"};
        return false;
    }
    // A session never creates a database.
    int rc = sq().sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        failure = {12514, "TNS:listener does not currently know of service requested in connect "
                          "descriptor \"" +
                              connect + "\" (" + sq().sqlite3_errstr(rc) + ")"};
        return false;
    }
    sq().sqlite3_extended_result_codes(db_, 1);
    sq().sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    Failure setup;
    if (!exec("PRAGMA foreign_keys = ON", setup)) {
        failure = setup;
        return false;
    }
    sq().sqlite3_create_function(db_, "dmoci_nextval", 1, SQLITE_UTF8, this, nextvalFunction, nullptr, nullptr);
    sq().sqlite3_create_function(db_, "dmoci_currval", 1, SQLITE_UTF8, this, currvalFunction, nullptr, nullptr);

    sqlite3_stmt* st = nullptr;
    rc = sq().sqlite3_prepare_v2(db_, "SELECT PASSWORD_HASH FROM DMOCI_USERS WHERE USERNAME = ?1", -1, &st, nullptr);
    if (rc != SQLITE_OK) {
        failure = {12514, "\"" + connect + "\" is no site database (" + sq().sqlite3_errmsg(db_) + ")"};
        return false;
    }
    sq().sqlite3_bind_text(st, 1, user.c_str(), -1, SQLITE_TRANSIENT);
    std::string hash;
    rc = sq().sqlite3_step(st);
    if (rc == SQLITE_ROW && sq().sqlite3_column_text(st, 0))
        hash = reinterpret_cast<const char*>(sq().sqlite3_column_text(st, 0));
    sq().sqlite3_finalize(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        failure = lastError();
        return false;
    }
    if (password.empty()) {
        failure = {1005, "null password given; logon denied"};
        return false;
    }
    if (!passwordMatches(password, hash)) {
        failure = {1017, "invalid username/password; logon denied"};
        return false;
    }
    user_ = upper(user);
    return true;
}

sqlite3_stmt* Database::prepare(const std::string& statement, Failure& failure)
{
    // One statement row after row: no hash of its text each time.
    if (last_ && statement == *lastText_)
        return last_;
    auto it = statements_.find(statement);
    if (it != statements_.end()) {
        lastText_ = &it->first, last_ = it->second;
        return it->second;
    }
    std::string sql = translateStatement(statement, user_);
    sqlite3_stmt* st = nullptr;
    if (sq().sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &st,
                                nullptr) != SQLITE_OK) {
        failure = lastError();
        return nullptr;
    }
    if (!st) {
        failure = {900, "invalid SQL statement"};
        return nullptr;
    }
    auto added = statements_.emplace(statement, st).first;
    lastText_ = &added->first, last_ = st;
    return st;
}

bool Database::exec(const char* sql, Failure& failure)
{
    if (sq().sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        failure = lastError();
        return false;
    }
    return true;
}

bool Database::beginIfNeeded(Failure& failure)
{
    if (inTransaction_)
        return true;
    // Taken for writing at once, so that two sessions wait for each other
    // instead of meeting in a deadlock when both start to write.
    if (!exec("BEGIN IMMEDIATE", failure))
        return false;
    inTransaction_ = true;
    return true;
}

void Database::noteStatementFailure()
{
    if (inTransaction_ && sq().sqlite3_get_autocommit(db_)) {
        inTransaction_ = false;  // SQLite gave up the whole transaction
        keepSequencesAfterRollback();
    }
}

bool Database::saveSequences(Failure& failure)
{
    for (auto& entry : sequences_) {
        if (!entry.second.changed)
            continue;
        sqlite3_stmt* st = nullptr;
        if (sq().sqlite3_prepare_v2(db_,
                                    "UPDATE DMOCI_SEQUENCES SET LAST_VALUE = MAX(LAST_VALUE, ?1) "
                                    "WHERE NAME = ?2",
                                    -1, &st, nullptr) != SQLITE_OK) {
            failure = lastError();
            return false;
        }
        sq().sqlite3_bind_int64(st, 1, entry.second.last);
        sq().sqlite3_bind_text(st, 2, entry.first.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sq().sqlite3_step(st);
        sq().sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            failure = lastError();
            return false;
        }
    }
    return true;
}

// Values handed out are never handed out again, even when their
// transaction is rolled back: the high-water mark is kept on its own.
void Database::keepSequencesAfterRollback()
{
    bool any = false;
    for (auto& entry : sequences_)
        any = any || entry.second.changed;
    if (any) {
        Failure ignored;
        if (exec("BEGIN IMMEDIATE", ignored)) {
            if (saveSequences(ignored))
                exec("COMMIT", ignored);
            else
                exec("ROLLBACK", ignored);
        }
    }
    sequences_.clear();
    lastNext_ = {};
}

bool Database::commit(Failure& failure)
{
    if (!inTransaction_)
        return true;
    if (!saveSequences(failure)) {
        Failure ignored;
        rollback(ignored);
        return false;
    }
    if (!exec("COMMIT", failure)) {
        // A deferred constraint failed: the server rolls the transaction back.
        Failure ignored;
        if (!sq().sqlite3_get_autocommit(db_))
            exec("ROLLBACK", ignored);
        inTransaction_ = false;
        keepSequencesAfterRollback();
        failure.text = "transaction rolled back: " + failure.text;
        return false;
    }
    inTransaction_ = false;
    sequences_.clear();
    lastNext_ = {};
    return true;
}

bool Database::rollback(Failure& failure)
{
    if (!inTransaction_)
        return true;
    bool ok = exec("ROLLBACK", failure);
    inTransaction_ = false;
    keepSequencesAfterRollback();
    return ok;
}

bool Database::nextValue(const std::string& sequence, int64_t& value, std::string& error)
{
    // A batch asks for the same sequence row after row.
    if (lastNext_.sequence && sequence == lastNext_.asked) {
        value = ++lastNext_.sequence->last;
        lastNext_.sequence->changed = true;
        *lastNext_.current = value;
        return true;
    }
    std::string name = upper(sequence);
    auto it = sequences_.find(name);
    if (it == sequences_.end()) {
        sqlite3_stmt* st = nullptr;
        if (sq().sqlite3_prepare_v2(db_, "SELECT LAST_VALUE FROM DMOCI_SEQUENCES WHERE NAME = ?1", -1, &st, nullptr) !=
            SQLITE_OK) {
            error = "ORA-00942: table or view does not exist (" + std::string(sq().sqlite3_errmsg(db_)) + ")";
            return false;
        }
        sq().sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sq().sqlite3_step(st);
        int64_t last = rc == SQLITE_ROW ? sq().sqlite3_column_int64(st, 0) : 0;
        sq().sqlite3_finalize(st);
        if (rc != SQLITE_ROW) {
            error = "ORA-02289: sequence does not exist (" + sequence + ")";
            return false;
        }
        it = sequences_.emplace(name, Sequence{last, false}).first;
    }
    value = ++it->second.last;
    it->second.changed = true;
    int64_t& current = current_[name];
    current = value;
    lastNext_ = {sequence, &it->second, &current};
    return true;
}

bool Database::currentValue(const std::string& sequence, int64_t& value, std::string& error)
{
    auto it = current_.find(upper(sequence));
    if (it == current_.end()) {
        error = "ORA-08002: sequence " + sequence + ".CURRVAL is not yet defined in this session";
        return false;
    }
    value = it->second;
    return true;
}

Failure Database::lastError() const
{
    int rc = sq().sqlite3_extended_errcode(db_);
    std::string msg = sq().sqlite3_errmsg(db_);
    if (msg.compare(0, 4, "ORA-") == 0) {
        // Raised by our own SQL functions, or by a trigger that speaks the
        // server's language: "ORA-nnnnn: text".
        int code = static_cast<int>(strtol(msg.c_str() + 4, nullptr, 10));
        size_t colon = msg.find(": ");
        return {code, colon == std::string::npos ? msg : msg.substr(colon + 2)};
    }
    switch (rc) {
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
        return {1, "unique constraint violated (" + msg + ")"};
    case SQLITE_CONSTRAINT_NOTNULL:
        return {1400, "cannot insert NULL (" + msg + ")"};
    case SQLITE_CONSTRAINT_FOREIGNKEY:
        return {2291, "integrity constraint violated - parent key not found (" + msg + ")"};
    case SQLITE_CONSTRAINT_CHECK:
        return {2290, "check constraint violated (" + msg + ")"};
    case SQLITE_CONSTRAINT_TRIGGER:
        return {20000, msg};
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return {54, "resource busy (" + msg + ")"};
    default:
        break;
    }
    if (msg.find("no such table") != std::string::npos)
        return {942, "table or view does not exist (" + msg + ")"};
    if (msg.find("no such column") != std::string::npos)
        return {904, "invalid identifier (" + msg + ")"};
    if (msg.find("syntax error") != std::string::npos)
        return {900, "invalid SQL statement (" + msg + ")"};
    return {20999, msg};
}

}  // namespace dmoci
