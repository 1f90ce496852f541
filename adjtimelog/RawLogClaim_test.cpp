#include "RawLogClaim.h"
#include "TestFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(RawLogClaim, ClaimReleaseAndPutBack)
{
    ScratchDir dir;
    const std::string raw = dir / "raw";
    writeFile(raw, "a\nb\n");
    {
        RawLogClaim claim(raw);
        ByteBuffer text;
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), "a\nb\n");
        EXPECT_FALSE(pathExists(raw)) << "the job starts a new raw log";
        writeFile(raw, "c\n");
        EXPECT_EQ(claim.putBack(), 0);
        EXPECT_EQ(readFile(raw), "a\nb\nc\n");
        EXPECT_FALSE(pathExists(raw + ".claimed"));
        EXPECT_FALSE(pathExists(raw + ".merging"));
        EXPECT_FALSE(pathExists(raw + ".staging"));
    }
    {
        RawLogClaim claim(raw);
        ByteBuffer text;
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), "a\nb\nc\n");
        EXPECT_EQ(claim.release(), 0);
        EXPECT_FALSE(pathExists(raw));
        EXPECT_FALSE(pathExists(raw + ".claimed"));
    }
}

TEST(RawLogClaim, PutBackWithoutNewerLinesKeepsTheFile)
{
    ScratchDir dir;
    const std::string raw = dir / "raw";
    writeFile(raw, "a\n");
    chmod(raw.c_str(), 0640);
    RawLogClaim claim(raw);
    ByteBuffer text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(claim.putBack(), 0);
    struct stat st;
    ASSERT_EQ(stat(raw.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(readFile(raw), "a\n");
}

TEST(RawLogClaim, EmptyOrMissingRawLogIsNotClaimed)
{
    ScratchDir dir;
    RawLogClaim missing(dir / "raw");
    ByteBuffer text;
    EXPECT_EQ(missing.acquire(text), RawLogClaim::Nothing);
    writeFile(dir / "raw2", "");
    RawLogClaim empty(dir / "raw2");
    EXPECT_EQ(empty.acquire(text), RawLogClaim::Nothing);
    EXPECT_TRUE(pathExists(dir / "raw2"));
}

TEST(RawLogClaim, LeftoversOfAKilledRunComeFirst)
{
    ScratchDir dir;
    const std::string raw = dir / "raw";
    writeFile(raw + ".claimed", "old\n");
    writeFile(raw + ".merging", "middle\n");  // killed in the middle of a merge
    writeFile(raw, "new\n");
    RawLogClaim claim(raw);
    ByteBuffer text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view(), "old\nmiddle\n");
    EXPECT_EQ(readFile(raw), "new\n") << "the raw log waits for the next run";
    EXPECT_EQ(claim.putBack(), 0);
    EXPECT_EQ(readFile(raw), "old\nmiddle\nnew\n");
}

TEST(RawLogClaim, SymbolicLinkIsMovedAsALink)
{
    ScratchDir dir;
    const std::string raw = dir / "raw";
    writeFile(dir / "target", "x\n");
    ASSERT_EQ(symlink((dir / "target").c_str(), raw.c_str()), 0);
    {
        RawLogClaim claim(raw);
        ByteBuffer text;
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), "x\n");
        EXPECT_EQ(claim.putBack(), 0);
        struct stat st;
        ASSERT_EQ(lstat(raw.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "moved back as it was";
    }
    {
        RawLogClaim claim(raw);
        ByteBuffer text;
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        writeFile(raw, "y\n");  // a new raw log; the merge must not write the target
        EXPECT_EQ(claim.putBack(), 0);
        EXPECT_EQ(readFile(raw), "x\ny\n");
        EXPECT_EQ(readFile(dir / "target"), "x\n");
    }
    {
        RawLogClaim claim(raw);
        ByteBuffer text;
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(claim.release(), 0);
        EXPECT_EQ(readFile(dir / "target"), "x\n") << "the target is never removed";
    }
}

TEST(RawLogClaim, LinesAppendedToTheClaimedCopyAreHandedBack)
{
    ScratchDir dir;
    const std::string raw = dir / "raw";
    writeFile(raw, "a\n");
    RawLogClaim claim(raw);
    ByteBuffer text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    // A writer that opened the raw log before the claim appends late.
    appendFile(raw + ".claimed", "late\n");
    EXPECT_EQ(claim.release(), 0);
    EXPECT_EQ(readFile(raw), "late\n");
}

TEST(RawLogClaim, RefusesALockFileThatIsALink)
{
    ScratchDir dir;
    const std::string raw = dir / "raw";
    writeFile(raw, "a\n");
    writeFile(dir / "victim", "v");
    ASSERT_EQ(symlink((dir / "victim").c_str(), (raw + ".lock").c_str()), 0);
    RawLogClaim claim(raw);
    ByteBuffer text;
    CaptureStdout();
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    EXPECT_NE(GetCapturedStdout().find("AnalyzeLogFile::lock "), std::string::npos);
    EXPECT_EQ(readFile(raw), "a\n") << "nothing claimed";
    EXPECT_EQ(readFile(dir / "victim"), "v");
}

TEST(RawLogClaim, WaitsForAWriterThatStillHasTheRawLogOpen)
{
    ScratchDir dir;
    const std::string raw = dir / "raw";
    writeFile(raw, "a\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A job that opened the raw log before the claim and writes late.
        int fd = open(raw.c_str(), O_WRONLY | O_APPEND);
        (void)!::write(ready[1], "x", 1);
        usleep(300000);
        (void)!::write(fd, "late\n", 5);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    RawLogClaim claim(raw);
    ByteBuffer text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view(), "a\nlate\n");
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}
