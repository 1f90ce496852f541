// PostgreSQL's client library, loaded when a session first reaches a
// PostgreSQL server. Linking it would make every program of ours load it
// and the two dozen libraries it needs (TLS, Kerberos, LDAP) at start,
// which costs the log action more than its work on a day's raw log.
#pragma once

#include <libpq-fe.h>

#include <string>

namespace dmoci {

struct PgLib {
// clang-format off
#define DMOCI_PQ_FUNCTIONS(X)                                                                     \
    X(PQconnectdbParams) X(PQstatus) X(PQerrorMessage) X(PQfinish) X(PQsetNoticeProcessor)       \
    X(PQconnectionNeedsPassword) X(PQsendQuery) X(PQgetResult)                                  \
    X(PQexec) X(PQexecParams) X(PQprepare) X(PQexecPrepared) X(PQdescribePrepared) X(PQnparams) \
    X(PQclear)                                                                                    \
    X(PQresultStatus) X(PQresultErrorField) X(PQresultErrorMessage) X(PQntuples) X(PQnfields)   \
    X(PQgetvalue) X(PQgetlength) X(PQgetisnull) X(PQcmdTuples) X(PQcmdStatus)
// clang-format on
#define DMOCI_PQ_MEMBER(name) decltype(&::name) name = nullptr;
    DMOCI_PQ_FUNCTIONS(DMOCI_PQ_MEMBER)
#undef DMOCI_PQ_MEMBER
};

// The loaded library; nullptr when it cannot be loaded, with the loader's
// reason in why. Loaded once, kept to the end of the process.
const PgLib* pgLib(std::string& why);

// The loaded library, for code that runs only once a session is open
// (which loaded it): no check.
const PgLib& pq();

}  // namespace dmoci
