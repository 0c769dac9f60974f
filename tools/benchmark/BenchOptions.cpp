#include "BenchOptions.h"

#include <algorithm>
#include <stdexcept>

namespace velmora::bench {

const char usage[] =
    "usage: velmora-bench --program PATH --floor PATH --harness PATH --gets PATH\n"
    "                     --discovery-floor PATH --appliance PATH --work FOLDER --out FILE\n"
    "                     [--program-folder FOLDER] [--runs N] [--start-runs N]\n"
    "                     [--idle-seconds S] [--quick] [--only LIST] [--smaps-folder FOLDER]\n"
    "  --runs N        runs of the login, discovery and idle measures (default 5)\n"
    "  --start-runs N  runs of the start and memory measures (default 11)\n"
    "  --quick         one run of each measure, a 5-second idle window and no budget check\n"
    "  --only LIST     some of start,login,busy-login,discovery,idle,silent (comma-separated);\n"
    "                  start includes memory; silent is a stored appliance that never\n"
    "                  answers. Budgets of measures not taken fail.\n"
    "  --smaps-folder  keeps /proc/PID/smaps of every program measured for memory, to see\n"
    "                  which mappings make up its PSS\n";

bool Options::wants(const std::string& measure) const
{
    return only.empty() || std::find(only.begin(), only.end(), measure) != only.end();
}

Options parseOptions(int argc, char* argv[])
{
    Options options;
    bool runsGiven = false, startRunsGiven = false, idleGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(option + " needs a value");
            return argv[++i];
        };
        const auto number = [&](int low) {
            const std::string text = value();
            size_t used = 0;
            int n = 0;
            try {
                n = std::stoi(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != text.size() || n < low)
                throw std::invalid_argument(option + " wants a whole number from "
                                            + std::to_string(low) + ", not \"" + text + "\"");
            return n;
        };
        if (option == "--program")
            options.program = value();
        else if (option == "--floor")
            options.floor = value();
        else if (option == "--harness")
            options.harness = value();
        else if (option == "--gets")
            options.gets = value();
        else if (option == "--discovery-floor")
            options.discoveryFloor = value();
        else if (option == "--appliance")
            options.appliance = value();
        else if (option == "--work")
            options.workFolder = value();
        else if (option == "--out")
            options.outputFile = value();
        else if (option == "--program-folder")
            options.programFolder = value();
        else if (option == "--runs") {
            options.runs = number(1);
            runsGiven = true;
        } else if (option == "--start-runs") {
            options.startRuns = number(1);
            startRunsGiven = true;
        } else if (option == "--idle-seconds") {
            options.idleSeconds = number(4);
            idleGiven = true;
        } else if (option == "--quick") {
            options.quick = true;
        } else if (option == "--smaps-folder") {
            options.smapsFolder = value();
        } else if (option == "--only") {
            const std::string list = value();
            for (size_t start = 0; start <= list.size();) {
                const size_t comma = std::min(list.find(',', start), list.size());
                const std::string measure = list.substr(start, comma - start);
                if (measure != "start" && measure != "login" && measure != "busy-login"
                    && measure != "discovery" && measure != "idle" && measure != "silent")
                    throw std::invalid_argument("--only knows start, login, busy-login, "
                                                "discovery, idle and silent, not \""
                                                + measure + "\"");
                options.only.push_back(measure);
                start = comma + 1;
            }
        } else
            throw std::invalid_argument("unknown option \"" + option + "\"");
    }
    if (options.program.empty() || options.floor.empty() || options.harness.empty()
        || options.gets.empty() || options.discoveryFloor.empty() || options.appliance.empty()
        || options.workFolder.empty() || options.outputFile.empty())
        throw std::invalid_argument("--program, --floor, --harness, --gets, --discovery-floor, "
                                    "--appliance, --work and --out are needed");
    if (options.quick) {
        options.runs = runsGiven ? options.runs : 1;
        options.startRuns = startRunsGiven ? options.startRuns : 1;
        options.idleSeconds = idleGiven ? options.idleSeconds : 5;
    }
    return options;
}

} // namespace velmora::bench
