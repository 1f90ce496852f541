#include "Files.h"
#include "ScratchDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

namespace {

const uid_t kOther = 65534;

// Opens dir/name by the rule for the raw log; "" when opened, else why (or
// the error) it was not.
std::string rule(const ScratchDir& dir, const char* name, int flags = O_RDONLY, Owners owners = Owners{0})
{
    Fd d(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    std::string why;
    Fd fd(openGuarded(d.get(), name, flags, 0600, owners, why));
    if (fd.valid())
        return "";
    return why.empty() ? strerror(errno) : why;
}

class OpenRule : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "files of another user need root to make";
        // As /tmp: root's, sticky, everybody writes.
        chmod(dir.path().c_str(), 01777);
        writeFile(dir / "target", "t\n");
    }
    void link(const char* name, uid_t owner)
    {
        ASSERT_EQ(symlink((dir / "target").c_str(), (dir / name).c_str()), 0);
        ASSERT_EQ(lchown((dir / name).c_str(), owner, owner), 0);
    }
    ScratchDir dir;
};

}  // namespace

TEST_F(OpenRule, LinksAreFollowedOnlyForTheRunsUserOrTheDirectorysOwner)
{
    link("ours", 0);
    link("theirs", kOther);
    EXPECT_EQ(rule(dir, "ours"), "");
    EXPECT_EQ(rule(dir, "theirs"), "a symbolic link of uid 65534 in a directory of uid 0");
    // The directory's owner may link: a run of another user follows it.
    EXPECT_EQ(rule(dir, "ours", O_RDONLY, Owners{kOther, 0}), "");
    EXPECT_EQ(rule(dir, "theirs", O_WRONLY | O_CREAT), "a symbolic link of uid 65534 in a directory of uid 0");
}

TEST_F(OpenRule, OnlyPlainFilesOfTheOwnersWithOneLink)
{
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(mkdir((dir / "dir").c_str(), 0777), 0);
    ASSERT_EQ(::link((dir / "target").c_str(), (dir / "hard").c_str()), 0);
    writeFile(dir / "foreign", "f\n");
    ASSERT_EQ(chown((dir / "foreign").c_str(), kOther, kOther), 0);
    EXPECT_EQ(rule(dir, "fifo"), "a FIFO") << "and it did not block";
    EXPECT_EQ(rule(dir, "null"), "a device");
    EXPECT_EQ(rule(dir, "dir"), "a directory");
    EXPECT_EQ(rule(dir, "hard"), "a file with 2 links");
    EXPECT_EQ(rule(dir, "foreign"), "a file of uid 65534");
    EXPECT_EQ(rule(dir, "foreign", O_RDONLY, Owners{0, kOther}), "") << "the job user's raw log";
    EXPECT_EQ(rule(dir, "missing"), strerror(ENOENT));
    EXPECT_EQ(rule(dir, "made", O_WRONLY | O_CREAT), "");
    EXPECT_EQ(readFile(dir / "made"), "");
}

TEST_F(OpenRule, ReportDirectoriesOthersWriteMustBeSticky)
{
    std::string why;
    // Sticky and open to all: the rule, so another user's link is refused.
    link("report", kOther);
    EXPECT_LT(openInDirectory(dir / "report", O_WRONLY | O_APPEND | O_CREAT, 0644, geteuid(), why), 0);
    EXPECT_EQ(why, "a symbolic link of uid 65534 in a directory of uid 0");
    // Not sticky: refused whatever stands there, as logrotate refuses it.
    chmod(dir.path().c_str(), 0777);
    EXPECT_LT(openInDirectory(dir / "new", O_WRONLY | O_APPEND | O_CREAT, 0644, geteuid(), why), 0);
    EXPECT_EQ(why,
              "its directory " + dir.path() + " (uid 0, mode 0777) may be written by other users and is not sticky");
    EXPECT_FALSE(pathExists(dir / "new"));
    // Root's alone: opened as asked, links followed.
    chmod(dir.path().c_str(), 0755);
    Fd fd(openInDirectory(dir / "report", O_WRONLY | O_APPEND | O_CREAT, 0644, geteuid(), why));
    EXPECT_TRUE(fd.valid()) << why;
}

TEST(MakeDirectories, MissingOnesAreMadeButNeverInADirectoryAnyoneMaySwap)
{
    ScratchDir dir;
    std::string why;
    const std::string state = dir / "var/lib/adjtimelog";
    ASSERT_EQ(makeDirectories(state, 0700, geteuid(), why), 0) << why;
    struct stat st;
    ASSERT_EQ(stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat((dir / "var/lib").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "the directories on the way";
    EXPECT_EQ(makeDirectories(state, 0700, geteuid(), why), 0) << "there already";

    ASSERT_EQ(mkdir((dir / "open").c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir / "open").c_str(), 0777), 0);
    EXPECT_EQ(makeDirectories(dir / "open/log", 0755, geteuid(), why), -1);
    EXPECT_EQ(why, "its directory " + dir / "open" + " (uid " + std::to_string(geteuid()) +
                       ", mode 0777) may be written by other users and is not sticky");
    EXPECT_FALSE(pathExists(dir / "open/log"));
    writeFile(dir / "file", "");
    EXPECT_EQ(makeDirectories(dir / "file/log", 0755, geteuid(), why), -1);
    EXPECT_EQ(why, dir / "file" + ": Not a directory");
}
