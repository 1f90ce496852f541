#include "policy.h"

#include <crypt.h>
#include <gtest/gtest.h>

namespace {

int check(std::vector<const char*> args, const char** command = nullptr, bool* exitGiven = nullptr)
{
    const char* c = nullptr;
    bool e = false;
    args.insert(args.begin(), "qmems");
    int rc = checkArguments(static_cast<int>(args.size()), args.data(), &c, &e);
    if (command)
        *command = c;
    if (exitGiven)
        *exitGiven = e;
    return rc;
}

std::string hashWith(const char* password, const char* setting)
{
    const char* h = crypt(password, setting);
    return h && h[0] != '*' ? h : "";
}

}  // namespace

TEST(Arguments, VerbsAndForms)
{
    const struct {
        const char* verb;
        const char* command;
    } table[] = {
        {"start", "load"},
        {"stop", "unload"},
        {"restart", "reload"},
        {"stopall", "qmstopall"},
        {"qminit_master", "qminit_master"},
        {"qminit_slave", "qminit_slave"},
    };
    for (const auto& t : table) {
        const char* command = nullptr;
        bool exitGiven = true;
        EXPECT_EQ(check({t.verb}, &command, &exitGiven), 0) << t.verb;
        EXPECT_STREQ(command, t.command);
        EXPECT_FALSE(exitGiven);
        EXPECT_EQ(check({t.verb, "--exit"}, &command, &exitGiven), 0);
        EXPECT_TRUE(exitGiven);
    }
    for (auto args : std::vector<std::vector<const char*>>{
             {},
             {"Start"},
             {"start "},
             {"--exit", "stop"},
             {"stop", "-exit"},
             {"stop", "--EXIT"},
             {"stop", "--exit", "x"},
             {""},
         })
        EXPECT_EQ(check(args), -1) << (args.empty() ? "(none)" : args[0]);
}

TEST(Arguments, WhoMaySkipThePassword)
{
    EXPECT_TRUE(maySkipPassword(true, 0, false, 0));
    EXPECT_TRUE(maySkipPassword(true, 1001, true, 1001));
    EXPECT_FALSE(maySkipPassword(true, 1000, true, 1001));
    EXPECT_FALSE(maySkipPassword(true, 1000, false, 0));
    EXPECT_FALSE(maySkipPassword(false, 0, true, 0));
}

TEST(Password, EverySchemeOfTheSystem)
{
    const char* settings[] = {
        "$y$j9T$abcdefghijklmnopqrstu.$",  // yescrypt, Debian's default
        "$6$saltsaltsaltsalt$",
        "$6$rounds=10000$saltsalt$",
        "$5$saltsalt$",
        "$5$rounds=6000$saltsalt$",
        "$1$saltsalt$",
        "ab",
    };
    for (const char* setting : settings) {
        std::string stored = hashWith("s3cret", setting);
        ASSERT_FALSE(stored.empty()) << setting;
        EXPECT_TRUE(passwordMatches("s3cret", stored.c_str())) << stored;
        EXPECT_FALSE(passwordMatches("s3cre", stored.c_str())) << stored;
        EXPECT_FALSE(passwordMatches("", stored.c_str())) << stored;
        // A locked entry never matches, even with the right password.
        EXPECT_FALSE(passwordMatches("s3cret", ("!" + stored).c_str())) << stored;
    }
    // Traditional DES looks at eight characters only, as crypt(3) does.
    std::string des = hashWith("password", "xy");
    EXPECT_TRUE(passwordMatches("password-and-more", des.c_str()));

    std::string empty = hashWith("", "$6$saltsalt$");
    EXPECT_TRUE(passwordMatches("", empty.c_str()));
    for (const char* unusable : {"", "!", "*", "!!", "*LK*", "x"})
        EXPECT_FALSE(passwordMatches("", unusable)) << unusable;
    EXPECT_FALSE(passwordMatches(nullptr, des.c_str()));
}

TEST(Environment, OnlyHarmlessVariablesPass)
{
    const char* hostile[] = {
        "PATH=/home/mallory/bin:/usr/bin",
        "LD_PRELOAD=/tmp/evil.so",
        "LD_LIBRARY_PATH=/tmp",
        "BASH_ENV=/tmp/evil.sh",
        "ENV=/tmp/evil.sh",
        "BASH_FUNC_load%%=() { /bin/sh; }",
        "IFS=/",
        "SHELLOPTS=xtrace",
        "PS4=$(id)",
        "PYTHONPATH=/tmp",
        "PERL5LIB=/tmp",
        "HOME=/home/mallory",
        "TZ=../../etc/shadow",
        "TZ=/etc/shadow",
        "LANG=../x",
        "LC_ALL=%n%n",
        "LC_MESSAGES=/tmp/x",
        "TERM=xterm-256color",
        "LANG=C.UTF-8",
        "LC_TIME=zh_CN.GBK",
        "COLORTERM=truecolor",
        "PATH=/tmp",
        "NOEQUALS",
        nullptr,
    };
    std::vector<std::string> env = safeEnvironment(hostile, "/usr/sbin:/usr/bin");
    const std::vector<std::string> want = {
        "PATH=/usr/sbin:/usr/bin", "HOME=/root",   "USER=root",         "LOGNAME=root",        "SHELL=/bin/sh",
        "TERM=xterm-256color",     "LANG=C.UTF-8", "LC_TIME=zh_CN.GBK", "COLORTERM=truecolor",
    };
    EXPECT_EQ(env, want);

    const char* zone[] = {"TZ=Asia/Shanghai", nullptr};
    EXPECT_EQ(safeEnvironment(zone, "/bin").back(), "TZ=Asia/Shanghai");
}

TEST(Expiry, FromTheExpiryDayOnAsPamUnixReadsIt)
{
    EXPECT_FALSE(accountExpired(-1, 20000));  // no expiry date
    EXPECT_FALSE(accountExpired(20001, 20000));
    EXPECT_TRUE(accountExpired(20000, 20000));
    EXPECT_TRUE(accountExpired(0, 20000));  // 1970-01-01
}
