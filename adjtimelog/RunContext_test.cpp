#include "BuildSettings.h"
#include "RunContext.h"

#include <gtest/gtest.h>

// The service manager's directory wins (the one named adjtimelog among
// several); without it root keeps its state in the build's directory and
// any other user beside the raw log.
TEST(RunContext, StateDirectory)
{
    const std::string raw = "/tmp/update_time.log";
    EXPECT_EQ(stateDirectory(raw, "/var/lib/adjtimelog", 0), "/var/lib/adjtimelog");
    EXPECT_EQ(stateDirectory(raw, "/var/lib/sitedb:/var/lib/adjtimelog", 0), "/var/lib/adjtimelog");
    EXPECT_EQ(stateDirectory(raw, "/srv/a:/srv/b", 1000), "/srv/a");
    EXPECT_EQ(stateDirectory(raw, nullptr, 0), ADJTIMELOG_STATE_DIR);
    EXPECT_EQ(stateDirectory(raw, "relative", 0), ADJTIMELOG_STATE_DIR) << "only an absolute path is taken";
    EXPECT_EQ(stateDirectory(raw, "", 1000), "/tmp/.adjtimelog-1000");
}
