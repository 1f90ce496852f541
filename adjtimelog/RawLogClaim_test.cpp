#include "DeliveryNote.h"
#include "RawLogClaim.h"
#include "ScratchDir.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/mman.h>
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

#define FAIL_FOR(member, path, err)                                                                                    \
    do {                                                                                                               \
        gPath = (path);                                                                                                \
        gErr = (err);                                                                                                  \
        sys.member = &FailingFor<decltype(SysCalls::member)>::call<&SysCalls::member>;                                 \
    } while (0)

#define FAIL_CALL(member, nth, err)                                                                                    \
    do {                                                                                                               \
        gCallsLeft = (nth);                                                                                            \
        gErr = (err);                                                                                                  \
        sys.member = &Failing<decltype(SysCalls::member)>::call<&SysCalls::member>;                                    \
    } while (0)

std::vector<std::string> namesIn(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

RawLogClaim::Limits shortWaits()
{
    RawLogClaim::Limits l;
    l.claimMs = l.releaseMs = 200;
    return l;
}

class Claim : public testing::Test {
protected:
    void TearDown() override { sys = kLibc; }

    RawLogClaim make(RawLogClaim::Limits limits = shortWaits()) const
    {
        return RawLogClaim(raw, state, Owners{geteuid()}, limits);
    }
    // Every batch waiting, in order; each delivered when deliver is true.
    static std::string batches(RawLogClaim& claim, bool deliver = true)
    {
        std::string all;
        FileText text;
        while (claim.nextBatch(text) == RawLogClaim::Claimed) {
            all += text.view();
            if (!deliver)
                break;
            EXPECT_EQ(claim.settle(true), 0);
        }
        return all;
    }
    // Claims and delivers everything; what came.
    std::string run()
    {
        RawLogClaim claim = make();
        RawLogClaim::Result r = claim.acquire();
        EXPECT_NE(r, RawLogClaim::Failed) << claim.error().step() << " " << claim.error().path();
        return batches(claim);
    }
    void expectError(const RawLogClaim& claim, const char* step, const std::string& path, int err)
    {
        EXPECT_EQ(claim.error().step(), step);
        EXPECT_EQ(claim.error().path(), path);
        EXPECT_EQ(claim.error().err(), err);
    }

    ScratchDir dir;
    const std::string raw = dir / "raw";
    const std::string state = dir / "state";
};

}  // namespace

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

TEST_F(Claim, LongLinesAndHolesAreDroppedWithBoundedMemory)
{
    RawLogClaim::Limits small = shortWaits();
    small.lineBytes = 8;
    {
        int fd = open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(write(fd, "ok\n0123456789\nfine\n", 19), 19);
        // A hole of 64 MiB (no line end in it) and a line after it.
        ASSERT_EQ(ftruncate(fd, 19 + (64 << 20)), 0);
        ASSERT_EQ(pwrite(fd, "end\nlast", 8, 19 + (64 << 20)), 8);
        close(fd);
    }
    RawLogClaim claim = make(small);
    ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
    EXPECT_EQ(batches(claim), "ok\nfine\nlast\n");
    EXPECT_EQ(claim.dropped().lines, 2u);
    EXPECT_EQ(claim.dropped().bytes, 11u + (64u << 20) + 4u);
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

TEST_F(Claim, WritersWaitingOnTheLandingAreWaitedFor)
{
    // The kernel says a writer is blocked opening the file we hold a lease
    // on; it appends once the lease is dropped.
    static bool late;
    late = true;
    sys.fcntl = [](int fd, int cmd, int arg) {
        if (cmd == F_GETLEASE && late) {
            kLibc.fcntl(fd, F_SETLEASE, F_UNLCK);
            int w = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_APPEND);
            (void)!write(w, "late\n", 5);
            close(w);
            late = false;
            return F_UNLCK;
        }
        return kLibc.fcntl(fd, cmd, arg);
    };
    writeFile(raw, "a\n");
    EXPECT_EQ(run(), "a\nlate\n");
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

TEST_F(Claim, EarlierVersionsCopiesAreTakenUpOnceInOrder)
{
    // The layout of earlier versions: the claimed copy and the lines set
    // aside beside the raw log, a delivery note saying that the first line
    // of the claimed copy reached the report (FNV-1a of "[a]\n").
    const std::string earlier = dir / (".adjtimelog-" + std::to_string(geteuid()));
    const std::string report = dir / "report";
    ASSERT_EQ(mkdir(earlier.c_str(), 0700), 0);
    writeFile(earlier + "/claimed", "a\nb\n");
    writeFile(earlier + "/merging", "c\n");
    writeFile(earlier + "/lock", "");
    writeFile(raw + ".claimed", "d\n");
    writeFile(report, "[a]\n");
    struct stat claimed, rep;
    ASSERT_EQ(stat((earlier + "/claimed").c_str(), &claimed), 0);
    ASSERT_EQ(stat(report.c_str(), &rep), 0);
    writeFile(earlier + "/delivery", std::to_string(rep.st_dev) + " " + std::to_string(rep.st_ino) +
                                         " 0 4 10886018778417090264 " + std::to_string(claimed.st_dev) + " " +
                                         std::to_string(claimed.st_ino) + " 2\n" + report);
    writeFile(raw, "e\n");
    EXPECT_EQ(run(), "b\nc\nd\ne\n");
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"report", "state"}));
}

TEST_F(Claim, KilledDrainIsFinishedOnce)
{
    // Each drain syncs its note, the directory, then the backlog: the third
    // sync fails after the lines were copied, and the next run copies them
    // again from the note, once.
    writeFile(raw, "a\n");
    {
        FAIL_CALL(fsync, 3, EIO);
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Failed);
        EXPECT_EQ(claim.error().step(), "readLog");
        sys = kLibc;
    }
    EXPECT_TRUE(pathExists(state + "/drain"));
    writeFile(raw, "b\n");
    EXPECT_EQ(run(), "a\nb\n");
    // The landing gone, and a late line half copied: cut back to whole lines.
    writeFile(raw, "c\n");
    {
        RawLogClaim claim = make();
        ASSERT_EQ(claim.acquire(), RawLogClaim::Claimed);
    }
    std::vector<std::string> names = namesIn(state);
    std::string backlog = state + "/" + *std::find_if(names.begin(), names.end(), [](const std::string& n) {
                              return n.rfind("backlog.", 0) == 0;
                          });
    appendFile(backlog, "hal");
    writeFile(state + "/drain", backlog.substr(backlog.rfind('.') + 1) + " 2 0 " + dir / ".adjtimelog-0.gone/raw");
    EXPECT_EQ(run(), "c\n");
}

TEST_F(Claim, LandingOfAKilledDrainIsReadOnlyWhileItIsStillOurs)
{
    // A run killed mid-drain, then /tmp emptied by a reboot: the note names
    // a landing that another user may have made anew since.
    const std::string transit = dir / (".adjtimelog-" + std::to_string(geteuid()) + ".0123456789abcdef");
    const std::string elsewhere = dir / "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    writeFile(elsewhere + "/raw", "forged\n");
    writeFile(dir / "secret", "secret\n");
    EXPECT_EQ(run(), "");  // the state directory
    auto killedDrain = [&](const std::string& line) {
        writeFile(state + "/drain", "feedface 0 0 " + transit + "/raw\n10 1 1");
        writeFile(raw, line);
        RawLogClaim claim = make();
        EXPECT_EQ(claim.acquire(), RawLogClaim::Claimed);
        EXPECT_EQ(batches(claim), line) << "only the real raw log is delivered";
        EXPECT_FALSE(pathExists(state + "/drain"));
        return claim.notices();
    };
    ASSERT_EQ(symlink(elsewhere.c_str(), transit.c_str()), 0);
    std::vector<std::string> said = killedDrain("a\n");
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find(" is a symbolic link of uid "), std::string::npos) << said[0];
    EXPECT_EQ(said[1], transit + "/raw vanished before it was copied: 10 bytes of the raw log were lost");
    EXPECT_EQ(readFile(elsewhere + "/raw"), "forged\n") << "nothing removed through the link";

    ASSERT_EQ(unlink(transit.c_str()), 0);
    ASSERT_EQ(mkdir(transit.c_str(), 0755), 0);
    writeFile(transit + "/raw", "forged\n");
    said = killedDrain("b\n");
    EXPECT_NE(said.at(0).find(" is a directory of uid " + std::to_string(geteuid()) + " with mode 0755"),
              std::string::npos);
    EXPECT_TRUE(pathExists(transit + "/raw"));

    ASSERT_EQ(chmod(transit.c_str(), 0700), 0);
    ASSERT_EQ(unlink((transit + "/raw").c_str()), 0);
    ASSERT_EQ(symlink((dir / "secret").c_str(), (transit + "/raw").c_str()), 0);
    said = killedDrain("c\n");
    EXPECT_EQ(said.at(0), transit + "/raw is a symbolic link, not the landing this node's run left: "
                                    "the drain is ended without reading it");

    // Still ours: finished, then removed through its directory.
    ASSERT_EQ(unlink((transit + "/raw").c_str()), 0);
    writeFile(transit + "/raw", "landed\n");
    writeFile(state + "/drain", "feedface 0 0 " + transit + "/raw\n7 1 1");
    EXPECT_EQ(run(), "landed\n");
    EXPECT_FALSE(pathExists(transit));
}

// Each failing system call, and where it leaves the lines.

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
