// The command line of adjtimelog: the action first, then "-s connect",
// "-p report" and "-m metrics-directory" in any order; anything else is
// ignored. The database user
// and password are build settings (BuildSettings.h): no option sets them.
#pragma once

#include <string>

struct CommandLine {
    std::string action;
    std::string connect;
    std::string reportPath;
    std::string metricsDir;  // -m: node_exporter's textfile directory; empty: none
};

// The built-in settings of this build, before the command line changes them.
CommandLine defaultCommandLine();

// An option's value is consumed with it and never read as an option itself,
// so "-s -p /x" makes "-p" the connect string and leaves the report alone.
CommandLine parseCommandLine(int argc, const char* const* argv);
