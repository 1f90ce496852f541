#include "Connect.h"
#include "Translate.h"

#include <cstdlib>
#include <gtest/gtest.h>

using dmoci::translateStatement;

TEST(Translate, StatementsOfTheServerInSQLite)
{
    EXPECT_EQ(translateStatement("INSERT INTO DBU.NTPADJUSTS(NTPID, NODE) VALUES "
                                 "(ntpadjusts_seq.NEXTVAL,:1)",
                                 "DBU"),
              "INSERT INTO NTPADJUSTS(NTPID, NODE) VALUES (dmoci_nextval('ntpadjusts_seq'),?1)");
    EXPECT_EQ(translateStatement("select NTPID from dbu.NTPADJUSTS;", "DBU"), "select NTPID from NTPADJUSTS");
    // Another schema stays, and so fails as a missing table would.
    EXPECT_EQ(translateStatement("select * from SCOTT.EMP", "DBU"), "select * from SCOTT.EMP");
    // Quoted text is never touched.
    EXPECT_EQ(translateStatement("select 'DBU.x :1 s.NEXTVAL;' from DUAL ;", "DBU"),
              "select 'DBU.x :1 s.NEXTVAL;' from DUAL");
    EXPECT_EQ(translateStatement("select 'it''s', DBU.s.currval from DUAL", "DBU"),
              "select 'it''s', dmoci_currval('s') from DUAL");
    EXPECT_EQ(translateStatement("update T set A = :12 where B = :name", "DBU"),
              "update T set A = ?12 where B = :name");
}

TEST(Connect, ConnectStringsNameFiles)
{
    setenv("SITEDB_DIR", "/data", 1);
    struct {
        const char* connect;
        const char* file;
    } cases[] = {
        {"localhost:1521/orcl", "/data/orcl.db"},
        {"//db.example:1521/site", "/data/site.db"},
        {"dbhost", "/data/dbhost.db"},
        {"dbhost:1521", "/data/dbhost.db"},
        {"/srv/x.db", "/srv/x.db"},
        {"./x.db", "./x.db"},
    };
    for (const auto& c : cases) {
        std::string file, error;
        EXPECT_TRUE(dmoci::databaseFile(c.connect, file, error)) << c.connect;
        EXPECT_EQ(file, c.file);
    }
    for (const char* bad : {"", "host/..", "host/a/b", "//", ":1521"}) {
        std::string file, error;
        EXPECT_FALSE(dmoci::databaseFile(bad, file, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos);
    }
    unsetenv("SITEDB_DIR");
}

TEST(Translate, StatementsOfTheDatabaseManagerForPostgres)
{
    EXPECT_EQ(
        dmoci::translateForPostgres("INSERT INTO DBU.NTPADJUSTS(NTPID, NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME) "
                                    "VALUES (ntpadjusts_seq.NEXTVAL,:1,:2,:3,:4,:5,:6)",
                                    "dbu"),
        "INSERT INTO DBU.NTPADJUSTS(NTPID, NODE, TIME, SERVERIP, \"offset\", PID, RUNTIME) "
        "VALUES (nextval('dbu.ntpadjusts_seq'),$1,$2,$3,$4,$5,$6)");
    EXPECT_EQ(
        dmoci::translateForPostgres("select NTPID, NODE, TIME, SERVERIP, OFFSET, PID from DBU.NTPADJUSTS;", "DBU"),
        "select NTPID, NODE, TIME, SERVERIP, \"offset\", PID from DBU.NTPADJUSTS");
    // A qualified sequence keeps its schema; literals pass as they are.
    EXPECT_EQ(dmoci::translateForPostgres("SELECT Site.Seq.CURRVAL, ':1 OFFSET', x FROM t OFFSET 2", "dbu"),
              "SELECT currval('site.seq'), ':1 OFFSET', x FROM t OFFSET 2");
}
