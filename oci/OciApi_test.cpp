// The stand-in client library through its public interface, on a real
// database file.
#include "Database.h"
#include "ScratchDir.h"
#include "SiteSchema.h"
#include "oci.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

// Creates a site database the way the admin program does.
void createSiteDb(const std::string& file, const char* extraSql = "")
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    std::string hash;
    ASSERT_TRUE(dmoci::hashPassword("tolvem", hash));
    std::string sql = std::string(dmoci::kCatalogSql) + kSiteSchemaSql + "INSERT INTO DMOCI_USERS VALUES ('dbu', '" +
                      hash + "');" + extraSql;
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::string queryOne(const std::string& file, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* t = sqlite3_column_text(st, i);
                out += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
            }
            out += "\n";
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

// One client session, set up the way the database action does it.
struct Client {
    OCIEnv* env = nullptr;
    OCISvcCtx* svc = nullptr;
    OCIServer* srv = nullptr;
    OCISession* ses = nullptr;
    OCIError* err = nullptr;
    OCIStmt* st = nullptr;

    sword connect(const std::string& connectString, const std::string& user, const std::string& password)
    {
        OCIEnvCreate(&env, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
        OCIHandleAlloc(env, reinterpret_cast<void**>(&svc), OCI_HTYPE_SVCCTX, 0, nullptr);
        OCIHandleAlloc(env, reinterpret_cast<void**>(&srv), OCI_HTYPE_SERVER, 0, nullptr);
        OCIHandleAlloc(env, reinterpret_cast<void**>(&ses), OCI_HTYPE_SESSION, 0, nullptr);
        OCIHandleAlloc(env, reinterpret_cast<void**>(&err), OCI_HTYPE_ERROR, 0, nullptr);
        OCIHandleAlloc(env, reinterpret_cast<void**>(&st), OCI_HTYPE_STMT, 0, nullptr);
        OCIServerAttach(srv, err, reinterpret_cast<const OraText*>(connectString.data()),
                        static_cast<sb4>(connectString.size()), OCI_DEFAULT);
        OCIAttrSet(ses, OCI_HTYPE_SESSION, const_cast<char*>(user.data()), static_cast<ub4>(user.size()),
                   OCI_ATTR_USERNAME, err);
        OCIAttrSet(ses, OCI_HTYPE_SESSION, const_cast<char*>(password.data()), static_cast<ub4>(password.size()),
                   OCI_ATTR_PASSWORD, err);
        OCIAttrSet(svc, OCI_HTYPE_SVCCTX, srv, 0, OCI_ATTR_SERVER, err);
        OCIAttrSet(svc, OCI_HTYPE_SVCCTX, ses, 0, OCI_ATTR_SESSION, err);
        return OCISessionBegin(svc, err, ses, OCI_CRED_RDBMS, OCI_DEFAULT);
    }

    sword run(const std::string& sql, std::vector<std::string> values = {})
    {
        OCIStmtPrepare(st, err, reinterpret_cast<const OraText*>(sql.data()), static_cast<ub4>(sql.size()),
                       OCI_NTV_SYNTAX, OCI_DEFAULT);
        kept = std::move(values);
        for (size_t i = 0; i < kept.size(); ++i) {
            OCIBind* b = nullptr;
            OCIBindByPos(st, &b, err, static_cast<ub4>(i + 1), kept[i].data(), static_cast<sb4>(kept[i].size()),
                         SQLT_CHR, nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
        }
        return OCIStmtExecute(svc, st, err, 1, 0, nullptr, nullptr, OCI_DEFAULT);
    }

    std::string error()
    {
        OraText buf[512] = {};
        sb4 code = 0;
        if (OCIErrorGet(err, 1, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR) != OCI_SUCCESS)
            return "(none)";
        return reinterpret_cast<char*>(buf);
    }

    ~Client()
    {
        for (auto [h, t] : {std::pair<void*, ub4>{st, OCI_HTYPE_STMT},
                            {ses, OCI_HTYPE_SESSION},
                            {svc, OCI_HTYPE_SVCCTX},
                            {srv, OCI_HTYPE_SERVER},
                            {err, OCI_HTYPE_ERROR},
                            {env, OCI_HTYPE_ENV}}) {
            if (h)
                OCIHandleFree(h, t);
        }
    }

    std::vector<std::string> kept;
};

const char kInsert[] = "INSERT INTO DBU.NTPADJUSTS(NTPID, NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME) VALUES "
                       "(ntpadjusts_seq.NEXTVAL,:1,:2,:3,:4,:5,:6)";

std::vector<std::string> row(const char* node)
{
    return {node, "7 Dec 09:49:19 ", "", "0.5", " adjust:1", "1733650000"};
}

}  // namespace

TEST(StandIn, SessionNeedsAnExistingDatabaseAndAnAccount)
{
    ScratchDir s("dmoci-test.");
    setenv("SITEDB_DIR", s.path().c_str(), 1);
    {
        Client c;
        EXPECT_EQ(c.connect("localhost:1521/orcl", "dbu", "tolvem"), OCI_ERROR);
        std::string e = c.error();
        EXPECT_EQ(e.substr(0, 10), "ORA-12514:") << e;
        EXPECT_NE(e.find("localhost:1521/orcl"), std::string::npos) << e;
        EXPECT_EQ(c.run("select 1 from DUAL"), OCI_ERROR);
        EXPECT_EQ(c.error().substr(0, 10), "ORA-01012:");
    }
    EXPECT_NE(access((s.path() + "/orcl.db").c_str(), F_OK), 0) << "a session never creates one";

    createSiteDb(s.path() + "/orcl.db");
    {
        Client c;
        EXPECT_EQ(c.connect("localhost:1521/orcl", "dbu", "wrong"), OCI_ERROR);
        EXPECT_EQ(c.error().substr(0, 10), "ORA-01017:");
    }
    {
        Client c;
        EXPECT_EQ(c.connect("//localhost/orcl", "DBU", "tolvem"), OCI_SUCCESS) << c.error();
        EXPECT_EQ(c.error(), "(none)");
    }
    unsetenv("SITEDB_DIR");
}

TEST(StandIn, TransactionsSequencesAndNulls)
{
    ScratchDir s("dmoci-test.");
    const std::string file = s.path() + "/site.db";
    createSiteDb(file);
    Client a, b;
    ASSERT_EQ(a.connect(file, "dbu", "tolvem"), OCI_SUCCESS) << a.error();
    ASSERT_EQ(b.connect(file, "dbu", "tolvem"), OCI_SUCCESS) << b.error();

    ASSERT_EQ(a.run(kInsert, row("n1")), OCI_SUCCESS) << a.error();
    ASSERT_EQ(a.run(kInsert, row("n2")), OCI_SUCCESS) << a.error();
    EXPECT_EQ(queryOne(file, "SELECT COUNT(*) FROM NTPADJUSTS"), "0\n") << "invisible before commit";
    ASSERT_EQ(OCITransCommit(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(queryOne(file, "SELECT NTPID, NODE, SERVERIP, RUNTIME, typeof(RUNTIME) FROM NTPADJUSTS"),
              "1|n1|NULL|1733650000|integer\n2|n2|NULL|1733650000|integer\n");

    // A rolled-back value is not handed out again.
    ASSERT_EQ(a.run(kInsert, row("gone")), OCI_SUCCESS);
    ASSERT_EQ(OCITransRollback(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS);
    ASSERT_EQ(b.run(kInsert, row("n4")), OCI_SUCCESS) << b.error();
    ASSERT_EQ(OCISessionEnd(b.svc, b.err, b.ses, OCI_DEFAULT), OCI_SUCCESS) << "ending commits";
    EXPECT_EQ(queryOne(file, "SELECT NTPID, NODE FROM NTPADJUSTS WHERE NTPID > 2"), "4|n4\n");

    // A session released without commit leaves nothing behind.
    ASSERT_EQ(a.run(kInsert, row("lost")), OCI_SUCCESS);
    OCIHandleFree(a.ses, OCI_HTYPE_SESSION);
    a.ses = nullptr;
    EXPECT_EQ(queryOne(file, "SELECT COUNT(*) FROM NTPADJUSTS WHERE NODE = 'lost'"), "0\n");
}

TEST(StandIn, AFreshStatementHandleForEveryRow)
{
    ScratchDir s("dmoci-test.");
    const std::string file = s.path() + "/site.db";
    createSiteDb(file);
    Client a;
    ASSERT_EQ(a.connect(file, "dbu", "tolvem"), OCI_SUCCESS) << a.error();
    for (const char* node : {"n1", "n2", "short", "n3"}) {
        // As the database action does: the last row's handle goes, a new one comes.
        ASSERT_EQ(OCIHandleFree(a.st, OCI_HTYPE_STMT), OCI_SUCCESS);
        EXPECT_EQ(OCIHandleFree(a.st, OCI_HTYPE_STMT), OCI_INVALID_HANDLE) << "freed once only";
        ASSERT_EQ(OCIHandleAlloc(a.env, reinterpret_cast<void**>(&a.st), OCI_HTYPE_STMT, 0, nullptr), OCI_SUCCESS);
        std::vector<std::string> values = row(node);
        if (strcmp(node, "short") == 0) {
            values.pop_back();  // the binds of the row before are not this handle's
            EXPECT_EQ(a.run(kInsert, values), OCI_ERROR);
            EXPECT_EQ(a.error(), "ORA-01008: not all variables bound");
            continue;
        }
        ASSERT_EQ(a.run(kInsert, values), OCI_SUCCESS) << a.error();
        if (strcmp(node, "n2") == 0) {
            ASSERT_EQ(OCITransCommit(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS);
        }
    }
    ASSERT_EQ(OCITransCommit(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(queryOne(file, "SELECT NTPID, NODE FROM NTPADJUSTS"), "1|n1\n2|n2\n3|n3\n")
        << "the sequence goes on across the commit";
}

TEST(StandIn, SequenceCatalogueMissing)
{
    ScratchDir s("dmoci-test.");
    const std::string file = s.path() + "/site.db";
    createSiteDb(file);
    Client a;
    ASSERT_EQ(a.connect(file, "dbu", "tolvem"), OCI_SUCCESS) << a.error();
    // The commit cannot save the sequence it handed out from.
    ASSERT_EQ(a.run(kInsert, row("n1")), OCI_SUCCESS) << a.error();
    ASSERT_EQ(a.run("DROP TABLE DMOCI_SEQUENCES"), OCI_SUCCESS) << a.error();
    EXPECT_EQ(OCITransCommit(a.svc, a.err, OCI_DEFAULT), OCI_ERROR);
    EXPECT_NE(a.error().find("no such table: DMOCI_SEQUENCES"), std::string::npos) << a.error();
    ASSERT_EQ(OCITransRollback(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS);

    // Nor can a statement take its first value from it.
    Client b;
    ASSERT_EQ(b.connect(file, "dbu", "tolvem"), OCI_SUCCESS) << b.error();
    ASSERT_EQ(b.run("DROP TABLE DMOCI_SEQUENCES"), OCI_SUCCESS) << b.error();
    EXPECT_EQ(b.run(kInsert, row("n2")), OCI_ERROR);
    EXPECT_NE(b.error().find("ORA-00942: table or view does not exist (no such table: DMOCI_SEQUENCES)"),
              std::string::npos)
        << b.error();
}

TEST(StandIn, ConstraintsTriggersAndDeferredChecks)
{
    ScratchDir s("dmoci-test.");
    const std::string file = s.path() + "/site.db";
    createSiteDb(file, "CREATE TABLE NODES (NAME TEXT PRIMARY KEY);"
                       "CREATE TABLE CHILD (NODE TEXT REFERENCES NODES(NAME) DEFERRABLE INITIALLY DEFERRED);"
                       "CREATE TRIGGER NO_BAD BEFORE INSERT ON NTPADJUSTS WHEN NEW.NODE = 'bad' "
                       "BEGIN SELECT RAISE(ABORT, 'node refused'); END;");
    Client c;
    ASSERT_EQ(c.connect(file, "dbu", "tolvem"), OCI_SUCCESS) << c.error();
    ASSERT_EQ(c.run(kInsert, row("good")), OCI_SUCCESS);
    EXPECT_EQ(c.run(kInsert, row("bad")), OCI_ERROR);
    EXPECT_EQ(c.error(), "ORA-20000: node refused");
    // The statement failed, the transaction goes on.
    ASSERT_EQ(OCITransCommit(c.svc, c.err, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(queryOne(file, "SELECT NODE FROM NTPADJUSTS"), "good\n");

    ASSERT_EQ(c.run("INSERT INTO CHILD VALUES (:1)", {"nowhere"}), OCI_SUCCESS) << c.error();
    EXPECT_EQ(OCITransCommit(c.svc, c.err, OCI_DEFAULT), OCI_ERROR);
    EXPECT_EQ(c.error().substr(0, 10), "ORA-02291:") << c.error();
    EXPECT_EQ(queryOne(file, "SELECT COUNT(*) FROM CHILD"), "0\n");
    EXPECT_EQ(c.run("select * from SCOTT.EMP"), OCI_ERROR);
    EXPECT_EQ(c.error().substr(0, 10), "ORA-00942:");
}

TEST(StandIn, DefinesAndFetches)
{
    ScratchDir s("dmoci-test.");
    const std::string file = s.path() + "/site.db";
    createSiteDb(file);
    Client c;
    ASSERT_EQ(c.connect(file, "dbu", "tolvem"), OCI_SUCCESS);
    ASSERT_EQ(c.run(kInsert, row("a-rather-long-node-name")), OCI_SUCCESS);
    ASSERT_EQ(c.run(kInsert, row("")), OCI_SUCCESS);

    const std::string q = "select NTPID, NODE, TIME, SERVERIP, OFFSET, PID from DBU.NTPADJUSTS;";
    ASSERT_EQ(OCIStmtPrepare(c.st, c.err, reinterpret_cast<const OraText*>(q.data()), static_cast<ub4>(q.size()),
                             OCI_NTV_SYNTAX, OCI_DEFAULT),
              OCI_SUCCESS);
    char node[8], server[16];
    OCIDefine* d1 = nullptr;
    OCIDefine* d2 = nullptr;
    OCIDefineByPos(c.st, &d1, c.err, 2, node, sizeof node, SQLT_STR, nullptr, nullptr, nullptr, OCI_DEFAULT);
    OCIDefineByPos(c.st, &d2, c.err, 4, server, sizeof server, SQLT_STR, nullptr, nullptr, nullptr, OCI_DEFAULT);
    ASSERT_EQ(OCIStmtExecute(c.svc, c.st, c.err, 0, 0, nullptr, nullptr, OCI_DEFAULT), OCI_SUCCESS) << c.error();
    EXPECT_EQ(OCIStmtFetch(c.st, c.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_SUCCESS_WITH_INFO);
    EXPECT_STREQ(node, "a-rathe") << "cut to the buffer, terminated";
    EXPECT_STREQ(server, "");
    EXPECT_EQ(OCIStmtFetch(c.st, c.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_STREQ(node, "");
    EXPECT_EQ(OCIStmtFetch(c.st, c.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_NO_DATA);
    EXPECT_EQ(OCIStmtFetch(c.st, c.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_NO_DATA);
}

TEST(StandIn, IntegerBindsAndDefines)
{
    ScratchDir s("dmoci-test.");
    const std::string file = s.path() + "/site.db";
    createSiteDb(file, "CREATE TABLE N (V INTEGER);");
    Client c;
    ASSERT_EQ(c.connect(file, "dbu", "tolvem"), OCI_SUCCESS);
    const std::string ins = "insert into N values (:1)";
    ASSERT_EQ(OCIStmtPrepare(c.st, c.err, reinterpret_cast<const OraText*>(ins.data()), static_cast<ub4>(ins.size()),
                             OCI_NTV_SYNTAX, OCI_DEFAULT),
              OCI_SUCCESS);
    char unaligned[9] = {};
    const long long big = -1234567890123LL;
    memcpy(unaligned + 1, &big, sizeof big);
    OCIBind* b = nullptr;
    OCIBindByPos(c.st, &b, c.err, 1, unaligned + 1, 8, SQLT_INT, nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
    ASSERT_EQ(OCIStmtExecute(c.svc, c.st, c.err, 1, 0, nullptr, nullptr, OCI_COMMIT_ON_SUCCESS), OCI_SUCCESS)
        << c.error();
    EXPECT_EQ(queryOne(file, "SELECT V FROM N"), "-1234567890123\n") << "committed on success";

    const std::string q = "select V from N";
    OCIStmtPrepare(c.st, c.err, reinterpret_cast<const OraText*>(q.data()), static_cast<ub4>(q.size()), OCI_NTV_SYNTAX,
                   OCI_DEFAULT);
    int small = 0;
    OCIDefine* d = nullptr;
    OCIDefineByPos(c.st, &d, c.err, 1, &small, sizeof small, SQLT_INT, nullptr, nullptr, nullptr, OCI_DEFAULT);
    ASSERT_EQ(OCIStmtExecute(c.svc, c.st, c.err, 1, 0, nullptr, nullptr, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(small, static_cast<int>(big));
}

TEST(StandIn, SessionsWaitForEachOther)
{
    ScratchDir s("dmoci-test.");
    const std::string file = s.path() + "/site.db";
    createSiteDb(file);
    Client a, b;
    ASSERT_EQ(a.connect(file, "dbu", "tolvem"), OCI_SUCCESS);
    ASSERT_EQ(b.connect(file, "dbu", "tolvem"), OCI_SUCCESS);
    ASSERT_EQ(a.run(kInsert, row("first")), OCI_SUCCESS);  // a holds the database now
    std::thread committer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        OCITransCommit(a.svc, a.err, OCI_DEFAULT);
    });
    auto start = std::chrono::steady_clock::now();
    sword rc = b.run(kInsert, row("second"));  // waits instead of failing at once
    auto waited = std::chrono::steady_clock::now() - start;
    committer.join();
    EXPECT_EQ(rc, OCI_SUCCESS) << b.error();
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    ASSERT_EQ(OCITransCommit(b.svc, b.err, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(queryOne(file, "SELECT NTPID, NODE FROM NTPADJUSTS ORDER BY NTPID"), "1|first\n2|second\n");
}

// Against a server: run by the end-to-end tests, which start one and name a
// fresh database in QM4107_PG_URI.
TEST(StandIn, PostgresVisibilityDefinesAndFetches)
{
    const char* uri = getenv("QM4107_PG_URI");
    if (!uri)
        GTEST_SKIP() << "QM4107_PG_URI names no PostgreSQL database";
    Client a, b;
    ASSERT_EQ(a.connect(uri, "dbu", "tolvem"), OCI_SUCCESS) << a.error();
    ASSERT_EQ(b.connect(uri, "dbu", "tolvem"), OCI_SUCCESS) << b.error();
    ASSERT_EQ(a.run(kInsert, row("a-rather-long-node-name")), OCI_SUCCESS) << a.error();
    ASSERT_EQ(a.run(kInsert, row("")), OCI_SUCCESS) << a.error();

    const std::string q = "select NTPID, NODE, TIME, SERVERIP, OFFSET, PID from DBU.NTPADJUSTS;";
    char node[8], server[16];
    auto select = [&](Client& c) {
        OCIStmtPrepare(c.st, c.err, reinterpret_cast<const OraText*>(q.data()), static_cast<ub4>(q.size()),
                       OCI_NTV_SYNTAX, OCI_DEFAULT);
        OCIDefine* d1 = nullptr;
        OCIDefine* d2 = nullptr;
        OCIDefineByPos(c.st, &d1, c.err, 2, node, sizeof node, SQLT_STR, nullptr, nullptr, nullptr, OCI_DEFAULT);
        OCIDefineByPos(c.st, &d2, c.err, 4, server, sizeof server, SQLT_STR, nullptr, nullptr, nullptr, OCI_DEFAULT);
        return OCIStmtExecute(c.svc, c.st, c.err, 0, 0, nullptr, nullptr, OCI_DEFAULT);
    };
    ASSERT_EQ(select(b), OCI_SUCCESS) << b.error();
    EXPECT_EQ(OCIStmtFetch(b.st, b.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_NO_DATA) << "invisible before commit";
    ASSERT_EQ(OCITransRollback(b.svc, b.err, OCI_DEFAULT), OCI_SUCCESS);
    ASSERT_EQ(OCITransCommit(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS) << a.error();

    ASSERT_EQ(select(b), OCI_SUCCESS) << b.error();
    EXPECT_EQ(OCIStmtFetch(b.st, b.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_SUCCESS_WITH_INFO);
    EXPECT_STREQ(node, "a-rathe") << "cut to the buffer, terminated";
    EXPECT_STREQ(server, "") << "a zero-length bind is NULL";
    EXPECT_EQ(OCIStmtFetch(b.st, b.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_STREQ(node, "");
    EXPECT_EQ(OCIStmtFetch(b.st, b.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_NO_DATA);

    EXPECT_EQ(a.run("select * from SCOTT.EMP"), OCI_ERROR);
    EXPECT_EQ(a.error().substr(0, 10), "ORA-00942:");
    // A statement that fails on the server leaves the transaction to be rolled back.
    ASSERT_EQ(a.run(kInsert, row("in-it")), OCI_SUCCESS) << a.error();
    EXPECT_EQ(a.run("INSERT INTO DBU.NTPADJUSTS(NTPID) VALUES (:1)", {"not-a-number"}), OCI_ERROR);
    EXPECT_EQ(a.run(kInsert, row("after")), OCI_ERROR);
    EXPECT_EQ(a.error().substr(0, 10), "ORA-02091:") << a.error();
    EXPECT_EQ(OCITransRollback(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(a.run(kInsert, row("again")), OCI_SUCCESS) << a.error();
    EXPECT_EQ(OCITransCommit(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS) << a.error();
    ASSERT_EQ(select(b), OCI_SUCCESS) << b.error();
    int rows = 0;
    while (OCIStmtFetch(b.st, b.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) != OCI_NO_DATA)
        ++rows;
    EXPECT_EQ(rows, 3) << "the rolled-back rows are not there";

    // A query of many batches, read while the session runs other
    // statements between its fetches: every row, in order.
    ASSERT_EQ(a.run("INSERT INTO DBU.NTPADJUSTS (NODE, RUNTIME) SELECT 'bulk', g FROM generate_series(1, 12001) g"),
              OCI_SUCCESS)
        << a.error();
    OCIStmt* q2 = nullptr;
    OCIHandleAlloc(a.env, reinterpret_cast<void**>(&q2), OCI_HTYPE_STMT, 0, nullptr);
    const std::string bulk = "SELECT RUNTIME FROM DBU.NTPADJUSTS WHERE NODE = 'bulk' ORDER BY RUNTIME";
    long long runtime = 0;
    OCIDefine* d = nullptr;
    OCIStmtPrepare(q2, a.err, reinterpret_cast<const OraText*>(bulk.data()), static_cast<ub4>(bulk.size()),
                   OCI_NTV_SYNTAX, OCI_DEFAULT);
    OCIDefineByPos(q2, &d, a.err, 1, &runtime, sizeof runtime, SQLT_INT, nullptr, nullptr, nullptr, OCI_DEFAULT);
    ASSERT_EQ(OCIStmtExecute(a.svc, q2, a.err, 0, 0, nullptr, nullptr, OCI_DEFAULT), OCI_SUCCESS) << a.error();
    long long seen = 0;
    while (OCIStmtFetch(q2, a.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT) == OCI_SUCCESS) {
        ASSERT_EQ(runtime, ++seen);
        if (seen % 3000 == 0) {
            ASSERT_EQ(a.run(kInsert, row("between")), OCI_SUCCESS) << a.error();
        }
    }
    EXPECT_EQ(seen, 12001);
    OCIHandleFree(q2, OCI_HTYPE_STMT);
    EXPECT_EQ(OCITransRollback(a.svc, a.err, OCI_DEFAULT), OCI_SUCCESS);
}
