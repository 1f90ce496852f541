// SQLite, loaded when a session first opens a site database file. A
// program that links the client library and runs without a session (the
// log action of adjtimelog, on every node every few minutes) then does not
// pay for loading and binding it at each start.
#pragma once

#include <sqlite3.h>

#include <string>

namespace dmoci {

struct SqliteLib {
// clang-format off
#define DMOCI_SQLITE_FUNCTIONS(X)                                                                 \
    X(sqlite3_config) X(sqlite3_initialize) X(sqlite3_open_v2) X(sqlite3_close_v2)                \
    X(sqlite3_extended_result_codes) X(sqlite3_extended_errcode) X(sqlite3_busy_timeout)          \
    X(sqlite3_errmsg) X(sqlite3_errstr) X(sqlite3_exec) X(sqlite3_create_function)               \
    X(sqlite3_prepare_v2) X(sqlite3_prepare_v3) X(sqlite3_step) X(sqlite3_reset)                  \
    X(sqlite3_finalize) X(sqlite3_sql) X(sqlite3_stmt_busy) X(sqlite3_stmt_readonly)              \
    X(sqlite3_bind_parameter_count) X(sqlite3_bind_text) X(sqlite3_bind_null)                     \
    X(sqlite3_bind_int64) X(sqlite3_bind_double) X(sqlite3_column_count) X(sqlite3_column_type)  \
    X(sqlite3_column_text) X(sqlite3_column_bytes) X(sqlite3_column_int64)                        \
    X(sqlite3_column_double) X(sqlite3_changes) X(sqlite3_get_autocommit) X(sqlite3_user_data)   \
    X(sqlite3_value_text) X(sqlite3_result_int64) X(sqlite3_result_error)
// clang-format on
#define DMOCI_SQLITE_MEMBER(name) decltype(&::name) name = nullptr;
    DMOCI_SQLITE_FUNCTIONS(DMOCI_SQLITE_MEMBER)
#undef DMOCI_SQLITE_MEMBER
};

// The loaded library, started; nullptr when it cannot be loaded, with the
// loader's reason in why. Loaded once, kept to the end of the process.
const SqliteLib* sqliteLib(std::string& why);

// The loaded library, for code that runs only once a database is open
// (which loaded it): no check, it is called for every row.
const SqliteLib& sq();

}  // namespace dmoci
