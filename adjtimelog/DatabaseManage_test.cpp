#include "CapturedOutput.h"
#include "DatabaseManage.h"
#include "OciRecorder.h"
#include "ScratchDir.h"
#include "TestRun.h"

#include <gtest/gtest.h>

namespace rec = ocirecorder;

namespace {

const char kInsert[] = "INSERT INTO DBU.NTPADJUSTS(NTPID, NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME) VALUES "
                       "(ntpadjusts_seq.NEXTVAL,:1,:2,:3,:4,:5,:6)";

std::string rawLines(int n)
{
    std::string raw;
    for (int i = 0; i < n; ++i)
        raw +=
            " 7 Dec 09:49:19 ntpdate[" + std::to_string(100 + i) + "]: adjust time server 192.0.2.10 offset 0.25 sec\n";
    return raw;
}

struct Outcome {
    std::string out;
    int rc;
};

class DatabaseManageTest : public testing::Test {
protected:
    void SetUp() override { rec::reset(); }
    void TearDown() override { rec::reset(); }

    // Constructs a manager on n raw lines, opens the session and inserts.
    Outcome insert(int n, std::unique_ptr<DatabaseManage>& m)
    {
        writeFile(dir / "raw", rawLines(n));
        captureOutput();
        m = std::make_unique<DatabaseManage>(testRun(dir / "raw", dir / "state"));
        m->init("db:1521/orcl", "dbu", "tolvem");
        int rc = m->insert();
        return {capturedOutput(), rc};
    }

    ScratchDir dir;
};

}  // namespace

TEST_F(DatabaseManageTest, SessionRowsAndOneCommit)
{
    std::unique_ptr<DatabaseManage> m;
    Outcome r = insert(2, m);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "starting to insert: 2 >>>>>> \n.\n. Finish insert!\n");

    std::string host;
    queryHostName(host);
    const std::vector<std::string> want = {
        "OCIInitialize mode=0 ctx=0 callbacks=0",
        "OCIEnvInit mode=0 xtra=0 usrmem=0",
        "OCIHandleAlloc type=3 parent=env xtra=0 usrmem=0",
        "OCIHandleAlloc type=8 parent=env xtra=0 usrmem=0",
        "OCIHandleAlloc type=9 parent=env xtra=0 usrmem=0",
        "OCIHandleAlloc type=2 parent=env xtra=0 usrmem=0",
        "OCIHandleAlloc type=7 parent=env xtra=0 usrmem=0",
        "OCIServerAttach len=12 mode=0 db:1521/orcl",
        "OCIAttrSet target=9 attr=22 size=3 dbu",
        "OCIAttrSet target=9 attr=23 size=6 tolvem",
        "OCIAttrSet target=3 attr=6 size=0 <handle>",
        "OCIAttrSet target=3 attr=7 size=0 <handle>",
        "OCISessionBegin cred=1 mode=0",
        // Row 1.
        "OCIHandleAlloc type=4 parent=env xtra=0 usrmem=0",
        std::string("OCIStmtPrepare len=127 syntax=1 mode=0 ") + kInsert,
    };
    ASSERT_GE(rec::calls.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(rec::calls[i], want[i]) << "call " << i;

    // Two rows, then the record of the batch's delivery, then the commit.
    auto binds = rec::callsOf("OCIBindByPos");
    ASSERT_EQ(binds.size(), 15u);
    const std::string tail = " dty=1 ind=0 alen=0 rcode=0 maxarr=0 curele=0 mode=0 [";
    EXPECT_EQ(binds[0], "OCIBindByPos pos=1 len=" + std::to_string(host.size()) + tail + host + "]");
    EXPECT_EQ(binds[1], "OCIBindByPos pos=2 len=15" + tail + "7 Dec 09:49:19 ]");
    EXPECT_EQ(binds[2], "OCIBindByPos pos=3 len=10" + tail + "192.0.2.10]");
    EXPECT_EQ(binds[3], "OCIBindByPos pos=4 len=4" + tail + "0.25]");
    EXPECT_EQ(binds[4], "OCIBindByPos pos=5 len=11" + tail + " adjust:100]");
    EXPECT_EQ(binds[5].substr(0, 30), "OCIBindByPos pos=6 len=10 dty=");
    EXPECT_EQ(binds[10], "OCIBindByPos pos=5 len=11" + tail + " adjust:101]");

    EXPECT_EQ(rec::callsOf("OCIStmtPrepare").back(),
              "OCIStmtPrepare len=72 syntax=1 mode=0 "
              "INSERT INTO DBU.NTPDELIVERIES (BATCH, NODE, RUNTIME) VALUES (:1, :2, :3)");
    const std::string sent = readFile(dir / "state/sent");
    ASSERT_GT(sent.size(), 32u);
    EXPECT_EQ(binds[12], "OCIBindByPos pos=1 len=32" + tail + sent.substr(0, 32) + "]")
        << "the identity noted before the send";
    EXPECT_EQ(binds[13], "OCIBindByPos pos=2 len=" + std::to_string(host.size()) + tail + host + "]");
    EXPECT_EQ(rec::callsOf("OCIStmtExecute"),
              std::vector<std::string>(3, "OCIStmtExecute iters=1 rowoff=0 snaps=0 mode=0"));
    EXPECT_EQ(rec::callsOf("OCITransCommit"), std::vector<std::string>{"OCITransCommit flags=0"});
    EXPECT_TRUE(rec::callsOf("OCITransRollback").empty());
    // Each statement is released before the next replaces it.
    EXPECT_EQ(rec::callsOf("OCIHandleFree"), std::vector<std::string>(2, "OCIHandleFree type=4"));

    EXPECT_EQ(m->input()->deleteLogFile(), 0);
    EXPECT_FALSE(pathExists(dir / "state/sent"));
    EXPECT_FALSE(pathExists(dir / "raw")) << "delivered";
    EXPECT_EQ(m->input()->waitingBytes(), 0);
}

TEST_F(DatabaseManageTest, ProgressDots)
{
    struct {
        int rows;
        const char* out;
    } cases[] = {
        {0, "DatabaseManage::getData NULL!\nDatabaseManage get date false!\n"
            "starting to insert: 0 >>>>>> \n Finish insert!\n"},
        {1, "starting to insert: 1 >>>>>> \n.\n Finish insert!\n"},
        {21, "starting to insert: 21 >>>>>> \n.\n....................\n Finish insert!\n"},
        {22, "starting to insert: 22 >>>>>> \n.\n....................\n. Finish insert!\n"},
    };
    for (const auto& c : cases) {
        rec::reset();
        std::unique_ptr<DatabaseManage> m;
        Outcome r = insert(c.rows, m);
        std::string out = r.out;
        if (c.rows == 0)  // the analyzer's own message comes first
            out = out.substr(out.find('\n') + 1);
        EXPECT_EQ(out, c.out) << c.rows;
        EXPECT_EQ(rec::callsOf("OCITransCommit").size(), 1u);
        m->input()->deleteLogFile();
    }
}

TEST_F(DatabaseManageTest, FailedRowRollsBackAndKeepsTheLines)
{
    rec::failCall("OCIStmtExecute", 6);  // the row at index 5
    std::unique_ptr<DatabaseManage> m;
    Outcome r = insert(8, m);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "starting to insert: 8 >>>>>> \n.\n....DatabaseManage::insert has problem: "
                     "time=7 Dec 09:49:19 , pid= adjust:105\n");
    EXPECT_EQ(rec::callsOf("OCIStmtExecute").size(), 6u) << "later rows are not tried";
    EXPECT_TRUE(rec::callsOf("OCITransCommit").empty());
    EXPECT_EQ(rec::callsOf("OCITransRollback").size(), 1u);
    EXPECT_EQ(m->input()->restoreLog(), 0);
    m.reset();
    rec::reset();
    captureOutput();
    m = std::make_unique<DatabaseManage>(testRun(dir / "raw", dir / "state"));
    m->init("db:1521/orcl", "dbu", "tolvem");
    EXPECT_EQ(m->insert(), 0);
    EXPECT_EQ(capturedOutput().substr(0, 30), "starting to insert: 8 >>>>>> \n") << "every line waited";
}

TEST_F(DatabaseManageTest, FailedPrepareFailsTheRow)
{
    rec::failCall("OCIStmtPrepare", 1);
    std::unique_ptr<DatabaseManage> m;
    Outcome r = insert(1, m);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "starting to insert: 1 >>>>>> \n"
                     "DatabaseManage::insertLine sql sqlerr: ORA-01017: injected failure\n"
                     "DatabaseManage::insert has problem: time=7 Dec 09:49:19 , pid= adjust:100\n");
    EXPECT_EQ(rec::callsOf("OCIErrorGet")[0], "OCIErrorGet record=1 sqlstate=0 bufsiz=512 type=2");
    EXPECT_TRUE(rec::callsOf("OCIStmtExecute").empty());
}

TEST_F(DatabaseManageTest, FailedCommitRollsBack)
{
    rec::failCall("OCITransCommit", 1);
    std::unique_ptr<DatabaseManage> m;
    Outcome r = insert(1, m);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "starting to insert: 1 >>>>>> \n.\nDatabaseManage::insert false!\n");
    EXPECT_EQ(rec::callsOf("OCITransRollback").size(), 1u);
}

TEST_F(DatabaseManageTest, FailedSessionStartIsReported)
{
    rec::failCall("OCISessionBegin", 1);
    std::unique_ptr<DatabaseManage> m;
    Outcome r = insert(0, m);
    EXPECT_NE(r.out.find("DatabaseManage::insertLine init: ORA-01017: injected failure\n"), std::string::npos);
}

TEST_F(DatabaseManageTest, FailedStatementAllocationGoesOnToThePrepare)
{
    rec::failCall("OCIHandleAlloc", 6);  // the first row's statement
    std::unique_ptr<DatabaseManage> m;
    Outcome r = insert(1, m);
    EXPECT_EQ(r.rc, 0) << "the row goes on to its prepare";
    EXPECT_NE(r.out.find("DatabaseManage::insertLine OCIHandleAlloc false!\n"), std::string::npos);
}

TEST_F(DatabaseManageTest, TeardownReleasesWhatWasAllocated)
{
    {
        std::unique_ptr<DatabaseManage> m;
        insert(1, m);
        rec::calls.clear();
        m.reset();
        const std::vector<std::string> want = {
            "OCISessionEnd mode=0", "OCIServerDetach mode=0", "OCIHandleFree type=8",
            "OCIHandleFree type=3", "OCIHandleFree type=2",   "OCIHandleFree type=9",
            "OCIHandleFree type=4", "OCIHandleFree type=7",   "OCIHandleFree type=1",
        };
        EXPECT_EQ(rec::calls, want);
        EXPECT_TRUE(rec::liveHandles.empty());
    }
}

TEST_F(DatabaseManageTest, TeardownWithoutASessionReleasesNothing)
{
    writeFile(dir / "raw", rawLines(1));
    captureOutput();
    auto m = std::make_unique<DatabaseManage>(testRun(dir / "raw", dir / "state"));
    m.reset();  // init never ran: nothing to end or release
    capturedOutput();
    EXPECT_TRUE(rec::calls.empty());
}

TEST_F(DatabaseManageTest, SelectReadsEveryRow)
{
    std::unique_ptr<DatabaseManage> m;
    insert(0, m);
    rec::calls.clear();
    rec::rows = {{"n1", "t1", "s1", "o1", "p1"}, {"n2", "t2", "s2", "o2", "p2"}};
    std::vector<AdjustTimeInfo> out(1);
    captureOutput();
    EXPECT_EQ(m->select("ignored", out), 0);
    EXPECT_EQ(capturedOutput(), "DatabaseManage::select adjusts.node = n1\nDatabaseManage::select adjusts.node = n2\n");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2], (AdjustTimeInfo{"n2", "t2", "s2", "o2", "p2"}));
    EXPECT_EQ(rec::callsOf("OCIStmtPrepare")[0],
              "OCIStmtPrepare len=68 syntax=1 mode=0 "
              "select NTPID, NODE, TIME, SERVERIP, OFFSET, PID from DBU.NTPADJUSTS;");
    auto defines = rec::callsOf("OCIDefineByPos");
    ASSERT_EQ(defines.size(), 5u);
    EXPECT_EQ(defines[0], "OCIDefineByPos pos=2 dty=5 ind=0 rlen=0 rcode=0 mode=0");
    EXPECT_EQ(defines[4], "OCIDefineByPos pos=6 dty=5 ind=0 rlen=0 rcode=0 mode=0");
    EXPECT_EQ(rec::callsOf("OCIStmtExecute")[0], "OCIStmtExecute iters=0 rowoff=0 snaps=0 mode=0");
    EXPECT_EQ(rec::callsOf("OCIStmtFetch")[0], "OCIStmtFetch rows=1 orientation=2 mode=0");
}

TEST_F(DatabaseManageTest, SelectEndsAtAFetchThatFails)
{
    std::unique_ptr<DatabaseManage> m;
    insert(0, m);
    rec::rows = {{"n1", "t1", "s1", "o1", "p1"}};
    std::vector<AdjustTimeInfo> out;
    // A fetch that fails ends the loop instead of spinning forever.
    rec::failFetch(true);
    captureOutput();
    EXPECT_EQ(m->select("", out), -1);
    EXPECT_EQ(capturedOutput(), "");
    EXPECT_TRUE(out.empty());
}

TEST_F(DatabaseManageTest, SelectGoesOnAfterAFailedDefineAndStopsAtAFailedExecute)
{
    std::unique_ptr<DatabaseManage> m;
    insert(0, m);
    std::vector<AdjustTimeInfo> out;
    rec::failCall("OCIStmtExecute", 1);  // the empty batch executed nothing
    rec::failCall("OCIDefineByPos", 2);  // TIME
    captureOutput();
    EXPECT_EQ(m->select("", out), -1);
    EXPECT_EQ(capturedOutput(), "DatabaseManage::select time false!\nDatabaseManage::select OCIStmtExecute false!\n");
}

TEST_F(DatabaseManageTest, RowRefusedForItsDataIsSetAsideAndTheRestGoIn)
{
    rec::refuseRows(5, " adjust:105", 12899);
    std::unique_ptr<DatabaseManage> m;
    Outcome r = insert(8, m);
    EXPECT_EQ(r.rc, 0);
    const std::string dead = dir / "state/dead-letters";
    EXPECT_EQ(r.out, "starting to insert: 8 >>>>>> \n.\n....DatabaseManage::insert has problem: "
                     "time=7 Dec 09:49:19 , pid= adjust:105\n"
                     "DatabaseManage::insert set aside: time=7 Dec 09:49:19 , pid= adjust:105 in " +
                         dead +
                         ": ORA-12899: injected failure\n"
                         "starting to insert: 7 >>>>>> \n.\n...... Finish insert!\n");
    EXPECT_EQ(rec::callsOf("OCITransCommit").size(), 1u);
    std::string letters = readFile(dead);
    EXPECT_EQ(letters.substr(20), "\tORA-12899: injected failure\t" + rawLines(6).substr(rawLines(5).size()));
}

TEST_F(DatabaseManageTest, RowRefusedThreeRunsInARowIsSetAsideButNotWhenEveryRowIs)
{
    // Every row refused (the table's fault, or the server's): nothing is
    // set aside however often it happens.
    for (int run = 1; run <= 4; ++run) {
        rec::reset();
        rec::refuseRows(5, "", 20000);
        std::unique_ptr<DatabaseManage> m;
        EXPECT_EQ(insert(run == 1 ? 8 : 0, m).rc, -1);
        m->input()->restoreLog();
    }
    EXPECT_FALSE(pathExists(dir / "state/dead-letters"));
    // One row refused by a trigger while the others go in: set aside in the
    // third run in a row.
    for (int run = 1; run <= 3; ++run) {
        rec::reset();
        rec::refuseRows(5, " adjust:105", 20000);
        std::unique_ptr<DatabaseManage> m;
        Outcome r = insert(0, m);
        EXPECT_EQ(r.rc, run < 3 ? -1 : 0) << run;
        if (r.rc == 0)
            m->input()->deleteLogFile();
    }
    EXPECT_NE(readFile(dir / "state/dead-letters").find("ntpdate[105]"), std::string::npos);
    EXPECT_FALSE(pathExists(dir / "state/rows")) << "nothing kept once the batch is in";
}
