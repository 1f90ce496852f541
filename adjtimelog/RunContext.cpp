#include "RunContext.h"
#include "BuildSettings.h"
#include "Diagnostics.h"

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

bool queryHostName(std::string& host)
{
    // Room for the longest name the kernel allows, so a long name is never
    // cut; the extra byte keeps the buffer terminated whatever happens.
    char buf[HOST_NAME_MAX + 2] = {};
    if (gethostname(buf, HOST_NAME_MAX + 1) != 0)
        return false;
    host = buf;
    return true;
}

std::string localTimeText(time_t when)
{
    char buf[80] = {};
    struct tm tm;
    if (localtime_r(&when, &tm) != nullptr)
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

RunContext observeRun(const std::string& rawLog)
{
    RunContext ctx;
    ctx.rawLog = rawLog;
    ctx.now = time(nullptr);
    ctx.hostOk = queryHostName(ctx.host);
    ctx.owners = Owners{geteuid()};
    // The raw log may also be the time job's, the user the build names.
    const char* job = ADJTIMELOG_JOB_USER;
    if (*job) {
        if (struct passwd* pw = getpwnam(job))
            ctx.owners.job = pw->pw_uid;
    }
    ctx.stateDir = stateDirectory(rawLog, getenv("STATE_DIRECTORY"), ctx.owners.run);
    ctx.journal = outputIsJournal(getenv("JOURNAL_STREAM"));
    return ctx;
}
