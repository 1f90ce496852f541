// The drain: lines copied from a landing to the backlog, whatever a killed
// run, a waiting writer or an earlier version left.
#include "ClaimTest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>

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
