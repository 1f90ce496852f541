#include "ClaimTest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>

TEST_F(Claim, ClaimedLinesWaitInTheBacklogUntilDelivered)
{
    writeFile(raw, "a\nb\n");
    {
        RawLogClaim claim = make();
        ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"state"}) << "the raw log and transit are gone";
        EXPECT_EQ(batches(claim, false), "a\nb\n");
        // Not delivered: killed, or the report or database failed.
    }
    writeFile(raw, "c\n");
    EXPECT_EQ(run(), "a\nb\nc\n") << "waiting lines first, in order";
    EXPECT_EQ(namesIn(state), std::vector<std::string>{"lock"});
    EXPECT_EQ(run(), "");
    struct stat st;
    ASSERT_EQ(lstat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(Claim, EmptyRawLogStaysAndALastLineWithoutLineEndIsALine)
{
    writeFile(raw, "");
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Nothing);
    }
    EXPECT_TRUE(pathExists(raw));
    writeFile(raw, "a\nb");
    EXPECT_EQ(run(), "a\nb\n");
}

TEST_F(Claim, BatchesAreWholeLinesAndAKilledRunResumesAfterTheDeliveredOnes)
{
    RawLogClaim::Limits small = shortWaits();
    small.batchBytes = 10;
    small.lineBytes = 4;
    writeFile(raw, "aa\nbb\ncc\ndd\nee\n");
    {
        RawLogClaim claim = make(small);
        ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
        FileText text;
        ASSERT_EQ(claim.nextBatch(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), "aa\nbb\ncc\n");
        EXPECT_EQ(claim.settle(true), 0);
        ASSERT_EQ(claim.nextBatch(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), "dd\nee\n");
        // Killed before this batch was delivered.
    }
    EXPECT_EQ(run(), "dd\nee\n");
}

TEST_F(Claim, RefusedRawLogStaysAndTheBacklogWaits)
{
    writeFile(raw, "a\n");
    {
        RawLogClaim claim = make();
        ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
    }
    ASSERT_EQ(mkfifo(raw.c_str(), 0600), 0);
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        EXPECT_EQ(claim.error().why(), "a FIFO (not the time job's raw log): remove it");
    }
    EXPECT_TRUE(pathExists(raw));
    unlink(raw.c_str());
    EXPECT_EQ(run(), "a\n") << "delivered once it is gone";
}

TEST_F(Claim, WaitsForAWriterThatStillHasTheRawLogOpen)
{
    writeFile(raw, "a\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(raw.c_str(), O_WRONLY | O_APPEND);
        (void)!::write(fd, "hal", 3);
        (void)!::write(ready[1], "x", 1);
        usleep(300000);
        (void)!::write(fd, "f\n", 2);  // the rest of a line, late
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    RawLogClaim claim(raw, state, Owners{geteuid()}, RawLogClaim::Limits{});
    ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
    EXPECT_EQ(batches(claim), "a\nhalf\n") << "never half a line";
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(Claim, WriterThatStaysOpenLeavesTheRawLogForTheNextRun)
{
    writeFile(raw, "a\n");
    int fd = open(raw.c_str(), O_WRONLY | O_APPEND);
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        expectError(claim, "claim", raw, EBUSY);
    }
    EXPECT_EQ(readFile(raw), "a\n");
    close(fd);
    EXPECT_EQ(run(), "a\n");
}

TEST_F(Claim, ReportDeliveryNoteKeepsAKilledRunFromReportingTwice)
{
    const std::string report = dir / "report";
    for (int reached : {2, 0, 1}) {  // the whole batch, none of it, a part
        writeFile(report, "earlier\n");
        writeFile(raw, "a\nb\n");
        {
            RawLogClaim claim = make();
            ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
            EXPECT_EQ(batches(claim, false), "a\nb\n");
            int fd = open(report.c_str(), O_WRONLY | O_APPEND);
            struct stat st;
            ASSERT_EQ(fstat(fd, &st), 0);
            ASSERT_EQ(claim.noteReportDelivery(report, st, "[a]\n"), 0);
            ASSERT_EQ(write(fd, "[a]\n", static_cast<size_t>(reached) * 2), reached * 2);
            close(fd);
            // Killed here: the backlog still holds the batch.
        }
        writeFile(raw, "c\n");
        EXPECT_EQ(run(), reached == 2 ? "c\n" : "a\nb\nc\n") << reached;
        EXPECT_FALSE(pathExists(state + "/report-note"));
        EXPECT_EQ(readFile(report), reached == 2 ? "earlier\n[a]\n" : "earlier\n") << "a part is cut away";
    }
    // The report rotated (moved to report.1, a new one made) before the
    // next run: the batch is found there.
    writeFile(raw, "d\n");
    {
        RawLogClaim claim = make();
        ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
        EXPECT_EQ(batches(claim, false), "d\n");
        struct stat st;
        ASSERT_EQ(stat(report.c_str(), &st), 0);
        ASSERT_EQ(claim.noteReportDelivery(report, st, "[d]\n"), 0);
        appendFile(report, "[d]\n");
    }
    ASSERT_EQ(rename(report.c_str(), (report + ".1").c_str()), 0);
    writeFile(report, "");
    EXPECT_EQ(run(), "");
}

TEST_F(Claim, StateDirectoryThatIsNotPrivateIsRefused)
{
    writeFile(raw, "a\n");
    ASSERT_EQ(symlink(dir.path().c_str(), state.c_str()), 0);
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        EXPECT_EQ(claim.error().why(), "not a private directory (a directory of uid " + std::to_string(geteuid()) +
                                           " with mode 0700): remove it");
    }
    EXPECT_EQ(readFile(raw), "a\n");
    unlink(state.c_str());
    ASSERT_EQ(mkdir(state.c_str(), 0755), 0);  // ours, opened up: made private again
    EXPECT_EQ(run(), "a\n");
}

TEST_F(Claim, StateDirectoryCannotBeMadeOrLocked)
{
    writeFile(raw, "a\n");
    FAIL_FOR(mkdir, state, EACCES);
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        expectError(claim, "claim", state, EACCES);
    }
    sys = kLibc;
    FAIL_FOR(open, state + "/lock", EMFILE);
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        expectError(claim, "lock", state + "/lock", EMFILE);
    }
    EXPECT_EQ(readFile(raw), "a\n");
}

TEST_F(Claim, RawLogCannotBeOpenedOrMoved)
{
    writeFile(raw, "a\n");
    FAIL_CALL(openat, 3, EACCES);  // after looking for raw.claimed and raw.merging
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        expectError(claim, "claim", raw, EACCES);
    }
    sys = kLibc;
    FAIL_FOR(rename, raw, EIO);
    {
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        expectError(claim, "claim", raw, EIO);
    }
    sys = kLibc;
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"raw", "state"})) << "no transit left";
    EXPECT_EQ(run(), "a\n");
}

TEST_F(Claim, BacklogCannotBeWrittenAndTheNextRunCopiesAgain)
{
    writeFile(raw, "a\n");
    {
        FAIL_CALL(write, 1, ENOSPC);
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        EXPECT_EQ(claim.error().err(), ENOSPC);
    }
    sys = kLibc;
    EXPECT_EQ(run(), "a\n");
}

TEST_F(Claim, DeliveryCannotBeRecorded)
{
    RawLogClaim::Limits small = shortWaits();
    small.batchBytes = 3;
    small.lineBytes = 2;
    writeFile(raw, "a\nb\n");
    {
        RawLogClaim claim = make(small);
        ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
        FileText text;
        ASSERT_EQ(claim.nextBatch(text), RawLogClaim::Claimed);
        FAIL_FOR(rename, state + "/staging", EIO);
        EXPECT_EQ(claim.settle(true), -1);
        expectError(claim, "deleteLogFile", state + "/consumed", EIO);
    }
    sys = kLibc;
    EXPECT_EQ(run(), "a\nb\n") << "delivered again rather than lost";
}

TEST_F(Claim, BatchThatCannotBeMappedIsRead)
{
    writeFile(raw, "a\n");
    sys.mmap = [](void*, size_t, int, int, int, off_t) -> void* {
        errno = ENODEV;
        return MAP_FAILED;
    };
    EXPECT_EQ(run(), "a\n");
}
