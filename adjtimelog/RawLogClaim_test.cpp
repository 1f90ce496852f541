#include "RawLogClaim.h"
#include "ScratchDir.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/file.h>
#include <sys/wait.h>

namespace {

// One system call of the claim fails, the nth one from now, with err.
int gCallsLeft = 0;
int gErr = 0;

template <typename T>
struct Failing;
template <typename R, typename... A>
struct Failing<R (*)(A...)> {
    template <R (*SysCalls::*M)(A...)>
    static R call(A... a)
    {
        if (--gCallsLeft == 0) {
            errno = gErr;
            return static_cast<R>(-1);
        }
        return (kLibc.*M)(a...);
    }
};

// The calls that name a path fail for that path only.
std::string gPath;

template <typename T>
struct FailingFor;
template <typename R, typename... A>
struct FailingFor<R (*)(const char*, A...)> {
    template <R (*SysCalls::*M)(const char*, A...)>
    static R call(const char* path, A... a)
    {
        if (gPath == path) {
            errno = gErr;
            return static_cast<R>(-1);
        }
        return (kLibc.*M)(path, a...);
    }
};

#define FAIL_FOR(member, path, err)                                                       \
    do {                                                                                  \
        gPath = (path);                                                                   \
        gErr = (err);                                                                     \
        sys.member = &FailingFor<decltype(SysCalls::member)>::call<&SysCalls::member>;    \
    } while (0)

#define FAIL_CALL(member, nth, err)                                                       \
    do {                                                                                  \
        gCallsLeft = (nth);                                                               \
        gErr = (err);                                                                     \
        sys.member = &Failing<decltype(SysCalls::member)>::call<&SysCalls::member>;       \
    } while (0)

// A file system that cannot map files.
void* mmapFails(void*, size_t, int, int, int, off_t)
{
    errno = ENODEV;
    return MAP_FAILED;
}

const RawLogClaim::Waits kShort{200, 200};

class Claim : public testing::Test {
protected:
    void TearDown() override { sys = kLibc; }

    std::string priv(const char* name) const
    {
        return dir.path() + "/.adjtimelog-" + std::to_string(geteuid()) + "/" + name;
    }
    // A claim of the raw log with lines in it, ready to release or put back.
    void claimLines(RawLogClaim& claim, const std::string& lines)
    {
        writeFile(raw, lines);
        FileText text;
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        ASSERT_EQ(text.view(), lines);
    }
    void expectError(const RawLogClaim& claim, const char* step, const std::string& path, int err)
    {
        EXPECT_EQ(claim.error().step, step);
        EXPECT_EQ(claim.error().path, path);
        EXPECT_EQ(claim.error().err, err);
    }

    ScratchDir dir;
    const std::string raw = dir / "raw";
};

}  // namespace

TEST_F(Claim, ClaimReleaseAndPutBack)
{
    {
        RawLogClaim claim(raw);
        claimLines(claim, "a\nb\n");
        EXPECT_FALSE(pathExists(raw)) << "the job starts a new raw log";
        EXPECT_TRUE(pathExists(priv("claimed")));
        writeFile(raw, "c\n");
        EXPECT_EQ(claim.putBack(), 0);
        EXPECT_EQ(readFile(raw), "a\nb\nc\n");
        for (const char* name : {"claimed", "merging", "staging"})
            EXPECT_FALSE(pathExists(priv(name))) << name;
    }
    RawLogClaim claim(raw);
    claimLines(claim, "a\nb\nc\n");
    EXPECT_EQ(claim.release(), 0);
    EXPECT_FALSE(pathExists(raw));
    EXPECT_FALSE(pathExists(priv("claimed")));
}

TEST_F(Claim, PutBackWithoutNewerLinesKeepsTheFile)
{
    writeFile(raw, "a\n");
    chmod(raw.c_str(), 0640);
    RawLogClaim claim(raw);
    FileText text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(claim.putBack(), 0);
    struct stat st;
    ASSERT_EQ(stat(raw.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Claim, EmptinessIsDecidedByReading)
{
    FileText text;
    EXPECT_EQ(RawLogClaim(raw).acquire(text), RawLogClaim::Nothing);
    writeFile(raw, "");
    EXPECT_EQ(RawLogClaim(raw).acquire(text), RawLogClaim::Nothing);
    EXPECT_TRUE(pathExists(raw)) << "an empty raw log stays";
    // A file whose size reads 0 but which gives bytes.
    unlink(raw.c_str());
    ASSERT_EQ(symlink("/proc/version", raw.c_str()), 0);
    EXPECT_EQ(RawLogClaim(raw).acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view().substr(0, 5), "Linux");
}

TEST_F(Claim, LeftoversOfAKilledRunComeFirst)
{
    mkdir((dir / ".adjtimelog-" + std::to_string(geteuid())).c_str(), 0700);
    writeFile(priv("claimed"), "old\n");
    writeFile(priv("merging"), "middle\n");  // killed in the middle of a merge
    writeFile(raw, "new\n");
    RawLogClaim claim(raw);
    FileText text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view(), "old\nmiddle\n");
    EXPECT_EQ(readFile(raw), "new\n") << "the raw log waits for the next run";
    EXPECT_EQ(claim.putBack(), 0);
    EXPECT_EQ(readFile(raw), "old\nmiddle\nnew\n");
}

TEST_F(Claim, CopiesLeftInTmpAreTakenUpOnlyWhenOursAndPlain)
{
    writeFile(dir / "elsewhere", "planted\n");
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (raw + ".merging").c_str()), 0);
    writeFile(raw + ".claimed", "left by an older version\n");
    FileText text;
    {
        RawLogClaim claim(raw);
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), "left by an older version\n");
        EXPECT_TRUE(isLink(raw + ".merging")) << "a link is never taken up";
        EXPECT_EQ(claim.release(), 0);
    }
    if (geteuid() == 0) {
        writeFile(raw + ".claimed", "fake step\n");
        ASSERT_EQ(chown((raw + ".claimed").c_str(), 65534, 65534), 0);
        RawLogClaim next(raw);
        EXPECT_EQ(next.acquire(text), RawLogClaim::Nothing) << "another user's copy is not ours";
    }
}

TEST_F(Claim, PrivateDirectoryThatIsNotPrivateIsRefused)
{
    const std::string priv = dir / (".adjtimelog-" + std::to_string(geteuid()));
    writeFile(raw, "a\n");
    for (int planted = 0; planted < 2; ++planted) {
        if (planted == 0)
            ASSERT_EQ(mkdir(priv.c_str(), 0777), 0);
        else
            ASSERT_EQ(symlink(dir.path().c_str(), priv.c_str()), 0);
        RawLogClaim claim(raw);
        FileText text;
        EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
        EXPECT_EQ(claim.error().path, priv);
        EXPECT_NE(claim.error().why.find("mode 0700"), std::string::npos);
        EXPECT_FALSE(claim.held());
        EXPECT_EQ(readFile(raw), "a\n") << "the raw log is untouched";
        ASSERT_EQ(planted == 0 ? rmdir(priv.c_str()) : unlink(priv.c_str()), 0);
    }
}

TEST_F(Claim, SymbolicLinkIsMovedAsALink)
{
    writeFile(dir / "target", "x\n");
    ASSERT_EQ(symlink((dir / "target").c_str(), raw.c_str()), 0);
    {
        RawLogClaim claim(raw);
        FileText text;
        ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
        writeFile(raw, "y\n");  // a new raw log; the merge must not write the target
        EXPECT_EQ(claim.putBack(), 0);
        EXPECT_EQ(readFile(raw), "x\ny\n");
        EXPECT_EQ(readFile(dir / "target"), "x\n");
    }
    unlink(raw.c_str());
    ASSERT_EQ(symlink((dir / "target").c_str(), raw.c_str()), 0);
    RawLogClaim claim(raw);
    FileText text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(claim.release(), 0);
    EXPECT_EQ(readFile(dir / "target"), "x\n") << "the target is never removed";
}

TEST_F(Claim, LinesAppendedToTheClaimedCopyAreHandedBack)
{
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    appendFile(priv("claimed"), "late\n");  // a writer that opened the raw log before the claim
    EXPECT_EQ(claim.release(), 0);
    EXPECT_EQ(readFile(raw), "late\n");
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
    RawLogClaim claim(raw);
    FileText text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view(), "a\nhalf\n") << "never half a line";
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(Claim, WriterThatStaysOpenLeavesTheRawLogForTheNextRun)
{
    writeFile(raw, "a\n");
    int fd = open(raw.c_str(), O_WRONLY | O_APPEND);
    RawLogClaim claim(raw, kShort);
    FileText text;
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "claim", raw, EBUSY);
    EXPECT_FALSE(claim.held());
    EXPECT_EQ(readFile(raw), "a\n");
    close(fd);
}

TEST_F(Claim, WithoutLeasesALastLineWithoutLineEndWaits)
{
    FAIL_CALL(fcntl, 1, EINVAL);  // a file system without leases
    RawLogClaim claim(raw);
    writeFile(raw, "a\nhal");
    FileText text;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view(), "a\n");
    EXPECT_EQ(claim.release(), 0);
    EXPECT_EQ(readFile(raw), "hal");
}

TEST_F(Claim, ReportDeliveryNoteKeepsAKilledRunFromReportingTwice)
{
    const std::string report = dir / "report";
    writeFile(report, "earlier\n");
    for (int reached : {2, 0, 1}) {  // the whole batch, none of it, a part
        bool reachedReport = reached == 2;
        {
            RawLogClaim claim(raw);
            claimLines(claim, "a\nb\n");
            int fd = open(report.c_str(), O_WRONLY | O_APPEND);
            struct stat st;
            ASSERT_EQ(fstat(fd, &st), 0);
            ASSERT_EQ(claim.noteReportDelivery(report, st, "[a]\n"), 0);
            ASSERT_EQ(write(fd, "[a]\n", static_cast<size_t>(reached) * 2), reached * 2);
            close(fd);
            appendFile(priv("claimed"), "late\n");  // after the read
            // Killed here: neither released nor put back.
        }
        RawLogClaim next(raw);
        FileText text;
        ASSERT_EQ(next.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), reachedReport ? "late\n" : "a\nb\nlate\n") << "the batch is in the report";
        ASSERT_EQ(next.release(), 0);
        EXPECT_FALSE(pathExists(priv("delivery")));
        EXPECT_EQ(readFile(report), reachedReport ? "earlier\n[a]\n" : "earlier\n")
            << "a part of a batch is cut away";
        writeFile(report, "earlier\n");
    }
}

TEST_F(Claim, DeliveryNotesOfTheEarlierHashAreHonouredUnknownOnesAreNot)
{
    const std::string report = dir / "report";
    // FNV-1a of "[a]\n", the hash of notes written by earlier versions.
    const std::string earlier = "10886018778417090264";
    for (bool known : {true, false}) {
        writeFile(report, "");
        {
            RawLogClaim claim(raw);
            claimLines(claim, "a\n");
            int fd = open(report.c_str(), O_WRONLY | O_APPEND);
            struct stat st;
            ASSERT_EQ(fstat(fd, &st), 0);
            ASSERT_EQ(claim.noteReportDelivery(report, st, "[a]\n"), 0);
            ASSERT_EQ(write(fd, "[a]\n", 4), 4);
            close(fd);
            appendFile(priv("claimed"), "late\n");
        }
        // dev ino size length hash dev ino read scheme, then the report's path
        std::string note = readFile(priv("delivery"));
        size_t scheme = note.find('\n') - 2;
        ASSERT_EQ(note.substr(scheme, 2), " 2");
        note.replace(scheme, 2, known ? "" : " 7");
        if (known) {
            size_t hash = 0;
            for (int i = 0; i < 4; ++i)
                hash = note.find(' ', hash) + 1;
            note.replace(hash, note.find(' ', hash) - hash, earlier);
        }
        writeFile(priv("delivery"), note);
        RawLogClaim next(raw);
        FileText text;
        ASSERT_EQ(next.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), known ? "late\n" : "a\nlate\n") << note;
        next.release();
    }
}

TEST_F(Claim, WritersWaitingOnARemovedFileAreWaitedFor)
{
    // The kernel says a writer is blocked opening the file we hold a lease
    // on; it appends once the lease is dropped.
    static std::string gLate;
    gLate = priv("merging");
    sys.fcntl = [](int fd, int cmd, int arg) {
        if (cmd == F_GETLEASE && !gLate.empty()) {
            // The writer gets in once the lease is broken (here: dropped).
            kLibc.fcntl(fd, F_SETLEASE, F_UNLCK);
            int w = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_APPEND);
            (void)!write(w, "late\n", 5);
            close(w);
            gLate.clear();
            return F_UNLCK;
        }
        return kLibc.fcntl(fd, cmd, arg);
    };
    {
        RawLogClaim claim(raw);
        claimLines(claim, "a\n");
        writeFile(raw, "b\n");
        EXPECT_EQ(claim.putBack(), 0);
        EXPECT_EQ(readFile(raw), "a\nb\nlate\n");
    }
    gLate = priv("claimed");
    RawLogClaim claim(raw);
    claimLines(claim, "a\nb\nlate\n");
    EXPECT_EQ(claim.release(), 0);
    EXPECT_EQ(readFile(raw), "late\n");
}

TEST_F(Claim, AJobFasterThanAMergeLeavesTheLinesInTheClaimedCopy)
{
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    writeFile(raw, "b\n");
    FAIL_FOR(renameNoReplace, priv("claimed"), EEXIST);  // a new raw log every time
    EXPECT_EQ(claim.putBack(), 0);
    EXPECT_FALSE(claim.held());
    EXPECT_EQ(readFile(priv("claimed")), "a\nb\n") << "first for the next run";
}

TEST_F(Claim, WriterThatKeepsTheClaimedCopyOpen)
{
    mkdir((dir / (".adjtimelog-" + std::to_string(geteuid()))).c_str(), 0700);
    writeFile(priv("claimed"), "a\n");
    int fd = open(priv("claimed").c_str(), O_WRONLY | O_APPEND);
    RawLogClaim claim(raw, kShort);
    FileText text;
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "claim", priv("claimed"), EBUSY);
    close(fd);
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    fd = open(priv("claimed").c_str(), O_WRONLY | O_APPEND);
    EXPECT_EQ(claim.release(), -1);
    expectError(claim, "deleteLogFile", priv("claimed"), EBUSY);
    close(fd);
    EXPECT_EQ(claim.release(), 0);
}

TEST_F(Claim, ClaimedCopyThatIsADanglingLinkIsHandedBack)
{
    mkdir((dir / (".adjtimelog-" + std::to_string(geteuid()))).c_str(), 0700);
    ASSERT_EQ(symlink((dir / "gone").c_str(), priv("claimed").c_str()), 0);
    RawLogClaim claim(raw);
    FileText text;
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Nothing);
    EXPECT_TRUE(isLink(raw)) << "moved back as it was";
}

// Each failing system call, and where it leaves the lines.

TEST_F(Claim, PrivateDirectoryCannotBeLookedAt)
{
    writeFile(raw, "a\n");
    const std::string priv = dir / (".adjtimelog-" + std::to_string(geteuid()));
    FAIL_FOR(lstat, priv, EACCES);
    RawLogClaim claim(raw);
    FileText text;
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "claim", priv, EACCES);
    // A umask that takes the owner's bits is undone.
    sys = kLibc;
    mode_t old = umask(0777);
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    umask(old);
}

TEST_F(Claim, LockThatIsNoFile)
{
    writeFile(raw, "a\n");
    mkdir((dir / (".adjtimelog-" + std::to_string(geteuid()))).c_str(), 0700);
    ASSERT_EQ(mkfifo(priv("lock").c_str(), 0600), 0);
    RawLogClaim claim(raw);
    FileText text;
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "lock", priv("lock"), EINVAL);
}

TEST_F(Claim, SetAsideLinesCannotBeTakenUp)
{
    mkdir((dir / (".adjtimelog-" + std::to_string(geteuid()))).c_str(), 0700);
    writeFile(priv("merging"), "m\n");
    FileText text;
    {
        FAIL_FOR(open, priv("merging"), EACCES);
        RawLogClaim claim(raw);
        EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
        expectError(claim, "claim", priv("merging"), EACCES);
        EXPECT_FALSE(claim.held());
    }
    {
        sys = kLibc;
        FAIL_FOR(rename, priv("merging"), EIO);
        RawLogClaim claim(raw);
        EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
        expectError(claim, "claim", priv("merging"), EIO);
    }
    sys = kLibc;
    RawLogClaim claim(raw);
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view(), "m\n") << "set-aside lines alone become the claim";
}

TEST_F(Claim, MergeCannotReadEitherSide)
{
    struct {
        int nth;  // two preads a file: the claimed copy first, then the new raw log
        const char* path;
    } cases[] = {{1, "claimed"}, {3, "merging"}};
    for (const auto& c : cases) {
        RawLogClaim claim(raw);
        claimLines(claim, "a\n");
        writeFile(raw, "b\n");
        FAIL_CALL(pread, c.nth, EIO);
        EXPECT_EQ(claim.putBack(), -1);
        expectError(claim, "readLog", priv(c.path), EIO);
        sys = kLibc;
        EXPECT_EQ(claim.putBack(), 0);
        EXPECT_EQ(readFile(raw), "a\nb\n");
        unlink(raw.c_str());
    }
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    writeFile(raw, "b\n");
    FAIL_FOR(open, priv("claimed"), EMFILE);
    EXPECT_EQ(claim.putBack(), -1);
    expectError(claim, "claim", priv("claimed"), EMFILE);
}

TEST_F(Claim, NewRawLogCannotBeSetAside)
{
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    writeFile(raw, "b\n");
    FAIL_FOR(open, raw, EACCES);
    EXPECT_EQ(claim.putBack(), -1);
    expectError(claim, "restoreLog", raw, EACCES);
    sys = kLibc;
    FAIL_FOR(rename, raw, EIO);
    EXPECT_EQ(claim.putBack(), -1);
    expectError(claim, "restoreLog", raw, EIO);
    sys = kLibc;
    FAIL_FOR(rename, priv("staging"), EIO);
    EXPECT_EQ(claim.putBack(), -1);
    expectError(claim, "restoreLog", priv("claimed"), EIO);
    sys = kLibc;
    EXPECT_EQ(claim.putBack(), 0);
    EXPECT_EQ(readFile(raw), "a\nb\n");
}

TEST_F(Claim, MkdirOfThePrivateDirectoryFails)
{
    writeFile(raw, "a\n");
    FAIL_FOR(mkdir, dir / (".adjtimelog-" + std::to_string(geteuid())), EACCES);
    RawLogClaim claim(raw);
    FileText text;
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "claim", claim.privateDir(), EACCES);
    EXPECT_EQ(readFile(raw), "a\n");
}

TEST_F(Claim, LockCannotBeOpenedOrTaken)
{
    writeFile(raw, "a\n");
    FAIL_FOR(open, priv("lock"), EMFILE);
    RawLogClaim claim(raw);
    FileText text;
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "lock", priv("lock"), EMFILE);
    sys = kLibc;
    FAIL_CALL(flock, 1, ENOLCK);
    RawLogClaim again(raw);
    EXPECT_EQ(again.acquire(text), RawLogClaim::Failed);
    expectError(again, "lock", priv("lock"), ENOLCK);
    EXPECT_EQ(readFile(raw), "a\n");
}

TEST_F(Claim, RawLogCannotBeOpenedOrMoved)
{
    writeFile(raw, "a\n");
    RawLogClaim claim(raw);
    FileText text;
    FAIL_FOR(open, raw, EACCES);
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "claim", raw, EACCES);
    sys = kLibc;
    FAIL_FOR(rename, raw, EXDEV);
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "claim", raw, EXDEV);
    EXPECT_FALSE(claim.held());
    EXPECT_EQ(readFile(raw), "a\n");
}

TEST_F(Claim, AFileThatCannotBeMappedIsRead)
{
    writeFile(raw, "a\n");
    RawLogClaim claim(raw);
    FileText text;
    sys.mmap = mmapFails;
    ASSERT_EQ(claim.acquire(text), RawLogClaim::Claimed);
    EXPECT_EQ(text.view(), "a\n");
}

TEST_F(Claim, ReadFailsAndTheLinesGoBack)
{
    writeFile(raw, "a\n");
    RawLogClaim claim(raw);
    FileText text;
    sys.mmap = mmapFails;
    FAIL_CALL(pread, 1, EIO);
    EXPECT_EQ(claim.acquire(text), RawLogClaim::Failed);
    expectError(claim, "readLog", raw, EIO);
    ASSERT_TRUE(claim.held());
    EXPECT_EQ(claim.putBack(), 0);
    EXPECT_EQ(readFile(raw), "a\n");
}

TEST_F(Claim, MergeFailsAndTheNextRunTakesTheLinesUpInOrder)
{
    for (int step = 0; step < 3; ++step) {
        {
            RawLogClaim claim(raw);
            claimLines(claim, "a\n");
            writeFile(raw, "b\n");
            if (step == 0)
                FAIL_CALL(write, 1, ENOSPC);
            else if (step == 1)
                FAIL_CALL(fsync, 1, EIO);
            else
                FAIL_FOR(unlink, priv("merging"), EIO);  // the merged file is in place; the set-aside one stays
            EXPECT_EQ(claim.putBack(), -1);
            EXPECT_EQ(claim.error().err, step == 0 ? ENOSPC : EIO);
            sys = kLibc;
        }
        writeFile(raw, "c\n");
        RawLogClaim next(raw);
        FileText text;
        ASSERT_EQ(next.acquire(text), RawLogClaim::Claimed);
        EXPECT_EQ(text.view(), step == 2 ? "a\nb\nb\n" : "a\nb\n") << step;
        EXPECT_EQ(readFile(raw), "c\n");
        ASSERT_EQ(next.release(), 0);
        unlink(raw.c_str());
    }
}

TEST_F(Claim, PutBackRenameFails)
{
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    FAIL_CALL(renameNoReplace, 1, EIO);
    EXPECT_EQ(claim.putBack(), -1);
    expectError(claim, "restoreLog", raw, EIO);
    EXPECT_EQ(readFile(priv("claimed")), "a\n") << "the lines wait in the claimed copy";
}

TEST_F(Claim, ReleaseCannotRemoveTheClaimedCopy)
{
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    FAIL_FOR(unlink, priv("claimed"), EROFS);
    EXPECT_EQ(claim.release(), -1);
    expectError(claim, "deleteLogFile", priv("claimed"), EROFS);
    EXPECT_TRUE(claim.held());
}

TEST_F(Claim, ReleaseCannotReadOrHandBackTheTail)
{
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    appendFile(priv("claimed"), "late\n");
    FAIL_CALL(pread, 1, EIO);
    EXPECT_EQ(claim.release(), -1);
    expectError(claim, "deleteLogFile", priv("claimed"), EIO);
    FAIL_FOR(open, priv("staging"), ENOSPC);  // the staging file for the tail
    EXPECT_EQ(claim.release(), -1);
    expectError(claim, "restoreLog", priv("staging"), ENOSPC);
    sys = kLibc;
    EXPECT_EQ(claim.release(), 0);
    EXPECT_EQ(readFile(raw), "late\n");
}

TEST_F(Claim, DeliveryNoteCannotBeWritten)
{
    RawLogClaim claim(raw);
    claimLines(claim, "a\n");
    struct stat st {};
    for (int call : {1, 2, 3, 4}) {
        if (call == 1)
            FAIL_FOR(open, priv("delivery.new"), ENOSPC);
        else if (call == 2)
            FAIL_FOR(rename, priv("delivery.new"), EIO);
        else if (call == 3)
            FAIL_CALL(write, 1, ENOSPC);
        else
            FAIL_CALL(fstat, 1, EIO);
        EXPECT_EQ(claim.noteReportDelivery(dir / "report", st, "[a]\n"), -1);
        expectError(claim, "write", priv("delivery"), call == 2 || call == 4 ? EIO : ENOSPC);
        sys = kLibc;
    }
    EXPECT_FALSE(pathExists(priv("delivery")));
    RawLogClaim unclaimed(dir / "other");
    EXPECT_EQ(unclaimed.noteReportDelivery(dir / "report", st, "[a]\n"), -1);
    EXPECT_EQ(unclaimed.error().err, EBADF);
}
