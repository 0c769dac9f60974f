#pragma once

#include <string>
#include <vector>

namespace velmora::bench {

// The driver's command line.
struct Options
{
    std::string program; // velmora-auth
    std::string floor; // velmora-bench-floor
    std::string harness; // velmora-bench-login
    std::string gets; // velmora-bench-gets
    std::string discoveryFloor; // velmora-bench-discovery-floor
    std::string appliance; // velmora-appliance
    std::string workFolder;
    std::string outputFile;
    std::string programFolder; // working folder of the programs: where assets/icon.ico is
    std::string smapsFolder; // where to keep each measured program's /proc/PID/smaps
    std::vector<std::string> only; // the measures to take; empty: all
    int runs = 5;
    // Start and memory cost a few seconds a run and vary the most from run to run.
    int startRuns = 11;
    int idleSeconds = 60;
    bool quick = false;

    bool wants(const std::string& measure) const;
};

extern const char usage[];

// Throws std::invalid_argument with a message for the user. --quick makes every count one and
// the idle window 5 seconds, unless they are given.
Options parseOptions(int argc, char* argv[]);

} // namespace velmora::bench
