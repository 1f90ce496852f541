#include "CommandLine.h"
#include "BuildSettings.h"

#include <cstring>

CommandLine defaultCommandLine()
{
    CommandLine cl;
    cl.connect = ADJTIMELOG_CONNECT;
    cl.reportPath = ADJTIMELOG_REPORT_PATH;
    return cl;
}

CommandLine parseCommandLine(int argc, const char* const* argv)
{
    CommandLine cl = defaultCommandLine();
    if (argc >= 2)
        cl.action = argv[1];
    for (int i = 2; i < argc; ++i) {
        if (i + 1 >= argc)
            break;  // an option without a value is ignored
        if (strcmp(argv[i], "-s") == 0)
            cl.connect = argv[++i];
        else if (strcmp(argv[i], "-p") == 0)
            cl.reportPath = argv[++i];
        else if (strcmp(argv[i], "-m") == 0)
            cl.metricsDir = argv[++i];
    }
    return cl;
}
