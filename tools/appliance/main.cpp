#include "CommandLine.h"
#include "HttpRequest.h"
#include "StandInAppliance.h"

#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <iostream>
#include <mutex>

namespace {

constexpr const char* programName = "velmora-appliance";

std::string describe(const standin::LoggedRequest& request, int status)
{
    std::string line = toUrl(request.listener) + " " + request.remoteAddress + " ";
    if (request.method.empty())
        line += "(" + request.treatment + ")";
    else
        line += request.method + " " + standin::maskPassword(request.target);
    line += " -> " + (status != 0 ? std::to_string(status) : std::string("no answer"));
    if (request.treatment != "answered" && !request.method.empty())
        line += " (" + request.treatment + ")";
    return line;
}

} // namespace

int main(int argc, char** argv)
{
    standin::CommandLine line;
    try {
        line = standin::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& error) {
        std::cerr << programName << ": " << error.what() << "\nTry '" << programName
                  << " --help'.\n";
        return 2;
    }
    if (line.helpWanted) {
        std::cout << standin::usageText();
        return 0;
    }

    // Blocked before any thread starts, so every thread inherits the mask and the signals
    // reach sigwait() below instead of killing the process mid-answer.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex outputMutex;
    line.options.onAnswered = [&outputMutex](const standin::LoggedRequest& request, int status) {
        const std::string text = describe(request, status);
        std::lock_guard lock(outputMutex);
        std::cout << text << std::endl;
    };

    try {
        standin::StandInAppliance appliance(std::move(line.options));
        {
            std::lock_guard lock(outputMutex);
            for (const auto& where : appliance.listeners())
                std::cout << "listening on " << toUrl(where) << '\n';
            if (const auto control = appliance.controlAddress())
                std::cout << "controls on " << toUrl(*control) << '\n';
            std::cout.flush();
        }
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::lock_guard lock(outputMutex);
        std::cout << "stopping on " << strsignal(signal) << std::endl;
    } catch (const std::exception& error) {
        std::cerr << programName << ": " << error.what() << '\n';
        return 1;
    }
    return 0;
}
