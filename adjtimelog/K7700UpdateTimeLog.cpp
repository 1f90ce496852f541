// adjtimelog: reports how this node's clock was kept in step with a time
// server. "log" appends the noteworthy adjustments of the raw log to the
// adjustment report; "database" inserts every adjustment into the site
// database and commits once.

#include "AnalyzeLogFile.h"
#include "BuildSettings.h"
#include "CommandLine.h"
#include "DatabaseManage.h"
#include "Diagnostics.h"
#include "Metrics.h"
#include "RowFailures.h"
#include "RunContext.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

static void usage(const char* program)
{
    fprintf(stderr, "\nUsage : %s <action> [option]\n\n", program);
    fputs("Action:\n", stderr);
    fputs("        log: Write log to file!\n", stderr);
    fputs("   database: Insert log to database!\n", stderr);
    fputs("Option:\n", stderr);
    fputs("        -s server  : specify the server name(Server's hostname)\n", stderr);
    fputs("        -p path    : specify the path of log file\n", stderr);
}

// What an action makes lives until the process ends and is never deleted:
// the analyzer holds the lock on the raw log and its records view its
// memory to the last; the manager holds the session, and everything it
// inserted is committed or rolled back before its action returns. Kept here
// so that a leak checker sees that this is meant.
static AnalyzeLogFile* analyzer = nullptr;
static DatabaseManage* manager = nullptr;

static int write_log_file(const RunContext& run, const std::string& reportPath)
{
    analyzer = new AnalyzeLogFile(run);
    return analyzer->write(reportPath) < 0 ? 1 : 0;
}

static int insert_database(const RunContext& run, const std::string& connect, const std::string& user,
                           const std::string& password)
{
    manager = new DatabaseManage(run);
    manager->init(connect, user, password);
    return manager->insertAll() == 0 ? 0 : 1;
}

// The run's metrics, when a directory for them was given: written whatever
// the run did, also when it failed or had nothing to do.
static void write_metrics(const CommandLine& cl, const AnalyzeLogFile* input, int status)
{
    if (cl.metricsDir.empty() || !input)
        return;
    RunOutcome facts;
    facts.action = cl.action;
    facts.success = status == 0;
    facts.now = input->run().now;
    facts.user = input->run().user();
    facts.delivered = input->tally().delivered();
    facts.lastOffset = input->tally().lastOffset();
    facts.lastServer = input->tally().lastServer();
    facts.backlogBytes = input->waitingBytes();
    facts.deadLetters = deadLetterCount(input->stateDir());
    facts.rawLogModified = input->rawLogModified();
    facts.lostBytes = input->lostBytes();
    const Status s = writeMetrics(input->stateDir(), cl.metricsDir, facts);
    if (!s.ok())
        diag(s.line("Metrics"));
}

int main(int argc, char** argv)
{
    const CommandLine cl = parseCommandLine(argc, argv);
    // What the run depends on outside itself, worked out once.
    const RunContext run = observeRun(ADJTIMELOG_RAW_LOG);
    setJournalOutput(run.journal);
    if (cl.action == "log") {
        int status = write_log_file(run, cl.reportPath);
        write_metrics(cl, analyzer, status);
        return status;
    }
    if (cl.action == "database") {
        int status = insert_database(run, cl.connect, ADJTIMELOG_DB_USER, ADJTIMELOG_DB_PASSWORD);
        write_metrics(cl, manager->input(), status);
        return status;
    }
    usage(argc > 0 && argv[0] ? argv[0] : "adjtimelog");
    return 1;
}
