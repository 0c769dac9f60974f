#include "app/ProcessSignals.h"

#include "app/Trace.h"
#include "portal/HttpEngine.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace velmora {

namespace {

// The handler writes to the first pair, the watcher thread reads it; the watcher writes to the
// second pair, which the event loop reads.
int signalPair[2] = { -1, -1 };
int quitPair[2] = { -1, -1 };

// Only async-signal-safe work here: hand the signal number on.
void forwardSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPair[0], &byte, 1);
}

// The GUI thread may be blocked in an exchange with an appliance that answers a byte at a time,
// and would see the request only when that ends. This thread cuts the requests under way, which
// lets it go, and then hands the request to the event loop.
void watchSignals()
{
    for (;;) {
        char number = 0;
        const ssize_t received = ::read(signalPair[1], &number, 1);
        if (received < 0 && errno == EINTR)
            continue;
        if (received != 1)
            return;
        HttpEngine::cancelEverywhere();
        [[maybe_unused]] const ssize_t written = ::write(quitPair[0], &number, 1);
    }
}

} // namespace

void quitOnTerminationRequests()
{
    if (signalPair[0] != -1)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quitPair) != 0)
        return;

    auto* notifier =
        new QSocketNotifier(quitPair[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char number = 0;
        if (::read(quitPair[1], &number, 1) == 1) {
            traceInfo("Received termination signal " + std::to_string(number) + ", quitting.");
            QCoreApplication::quit();
        }
    });
    // Blocked in its read until a signal comes, for the rest of the process.
    std::thread(watchSignals).detach();

    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : { SIGTERM, SIGINT, SIGHUP })
        sigaction(number, &action, nullptr);
}

void ignoreBrokenPipes()
{
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

} // namespace velmora
