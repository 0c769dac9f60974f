// The Windows platform layer under test: run under Wine by run-under-wine.sh, or on Windows.
// Besides the doctest cases the program has helper modes, in which the tests start it again as a
// second process: another copy asking for the single-instance lock, or a stand-in for tracert.

#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include "app/SingleInstance.h"
#include "TracertRecordings.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <iostream>
#include <string>

namespace {

using velmora::SingleInstanceLock;

const char* resultName(SingleInstanceLock::Result result)
{
    switch (result) {
    case SingleInstanceLock::Result::Acquired:
        return "Acquired";
    case SingleInstanceLock::Result::AlreadyHeld:
        return "AlreadyHeld";
    case SingleInstanceLock::Result::Unavailable:
        return "Unavailable";
    }
    return "?";
}

// --probe-instance NAME: asks for the lock once and answers by exit code (20 + the result) and
// on standard output; ends, which releases what it took.
int probeInstance(const std::string& name)
{
    SingleInstanceLock lock(name);
    const auto result = lock.acquire();
    std::cout << resultName(result) << std::endl;
    return 20 + static_cast<int>(result);
}

// --hold-instance NAME: asks for the lock, says what it got, and keeps it until its standard input
// ends (or it is killed).
int holdInstance(const std::string& name)
{
    SingleInstanceLock lock(name);
    const auto result = lock.acquire();
    std::cout << resultName(result) << std::endl;
    char buffer[64];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) { }
    return 20 + static_cast<int>(result);
}

// --hold-and-listen NAME: as --hold-instance, and listens for later starts: "Listening" once it
// does, "Shown" for each start that asks it to show its window.
int holdAndListen(const std::string& name)
{
    SingleInstanceLock lock(name);
    const auto result = lock.acquire();
    std::cout << resultName(result) << std::endl;
    if (lock.listenForLaterStarts([] { std::cout << "Shown" << std::endl; }))
        std::cout << "Listening" << std::endl;
    char buffer[64];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) { }
    return 20 + static_cast<int>(result);
}

// --ask-holder NAME: a later start: asks for the lock and, refused, asks the holder to show its
// window; exit code 30 when the holder answered, 31 when it did not, 32 when the lock was free.
int askHolder(const std::string& name)
{
    SingleInstanceLock lock(name);
    if (lock.acquire() != SingleInstanceLock::Result::AlreadyHeld)
        return 32;
    return lock.askHolderToShow() ? 30 : 31;
}

// --stand-in-tracer NAME CODE: prints a recorded tracert output byte for byte, as tracert writes
// it, and exits with CODE.
int standInTracer(const std::string& name, int exitCode)
{
    const std::string* text = nullptr;
    if (name == "two-hops")
        text = &recorded::twoHopsAnswer;
    else if (name == "first-hop-times-out")
        text = &recorded::firstHopTimesOut;
    if (!text)
        return 90;
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text->data(), 1, text->size(), stdout);
    std::fflush(stdout);
    return exitCode;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--probe-instance" && argc == 3)
        return probeInstance(argv[2]);
    if (mode == "--hold-instance" && argc == 3)
        return holdInstance(argv[2]);
    if (mode == "--hold-and-listen" && argc == 3)
        return holdAndListen(argv[2]);
    if (mode == "--ask-holder" && argc == 3)
        return askHolder(argv[2]);
    if (mode == "--stand-in-tracer" && argc == 4)
        return standInTracer(argv[2], std::atoi(argv[3]));

    doctest::Context context(argc, argv);
    context.setOption("no-colors", true);
    return context.run();
}
