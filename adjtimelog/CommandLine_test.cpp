#include "BuildSettings.h"
#include "CommandLine.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

CommandLine parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "adjtimelog");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(CommandLine, ActionAndOptions)
{
    const CommandLine d = defaultCommandLine();
    EXPECT_STREQ(ADJTIMELOG_DB_USER, "dbu");
    EXPECT_STREQ(ADJTIMELOG_DB_PASSWORD, "tolvem");
    EXPECT_EQ(d.reportPath, "/qm4107/log/ntpError.log");
    EXPECT_NE(d.connect.find(":1521/orcl"), std::string::npos);

    EXPECT_EQ(parse({}).action, "");
    EXPECT_EQ(parse({"-p", "/x/report.log"}).action, "-p");
    EXPECT_EQ(parse({"log", "-p"}).reportPath, d.reportPath);
    EXPECT_EQ(parse({"log", "extra", "-p", "/x/report.log"}).reportPath, "/x/report.log");
    EXPECT_EQ(parse({"log", "-p", "/a", "-p", "/b"}).reportPath, "/b");
    EXPECT_EQ(parse({"database", "-s", "db:1521/x"}).connect, "db:1521/x");
    EXPECT_EQ(parse({"database", "-S", "db"}).connect, d.connect);
    EXPECT_EQ(parse({"log", "-m", "/m", "-p", "/r"}).metricsDir, "/m");
    EXPECT_EQ(d.metricsDir, "") << "no metrics unless asked";

    // An option's value is never read as an option.
    CommandLine v = parse({"log", "-s", "-p", "/x"});
    EXPECT_EQ(v.connect, "-p");
    EXPECT_EQ(v.reportPath, d.reportPath);
}
