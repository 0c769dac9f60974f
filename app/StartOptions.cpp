#include "app/StartOptions.h"

#include "app/StartWithDesktop.h"
#include "app/Trace.h"
#include "auth/VelmoraAuth.h"

#include <QCommandLineParser>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace velmora {

namespace {

// How long a hidden start waits for a tray to appear before it shows the window, looking once a
// second: the start-up check may be waiting for a silent appliance meanwhile, on a battery.
constexpr int trayPollMilliseconds = 1000;
constexpr int trayPolls = 5;

} // namespace

StartOptions readStartOptions(const QCoreApplication& application)
{
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Signs you in to the captive portal of a Velmora firewall appliance and keeps the session "
        "alive.\n\n"
        "\"Log in automatically\" in the tray menu (off by default; only while \"Remember me\"\n"
        "keeps your credentials) logs in by itself at start, when the network comes up or\n"
        "changes, after a wake from sleep, and again after a failed attempt (4 seconds doubling\n"
        "to 5 minutes). Until you log in from the window again, it never acts after your\n"
        "Logout, after an administrator kicked you out or blocked you, or on a changed\n"
        "appliance identity; nor while you log in yourself."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption startHidden(
        QLatin1String(startHiddenOption),
        QStringLiteral("Start in the system tray without showing the window (the window shows "
                       "when there is no tray)."));
    parser.addOption(startHidden);
    if (!parser.parse(application.arguments())) {
        std::fprintf(stderr, "%s\n%s", qPrintable(parser.errorText()),
                     qPrintable(parser.helpText()));
        std::exit(2);
    }
    // The program takes no file or other argument: a word it would ignore is a mistake to tell.
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "Unexpected argument '%s'.\n%s",
                     qPrintable(parser.positionalArguments().constFirst()),
                     qPrintable(parser.helpText()));
        std::exit(2);
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return { parser.isSet(startHidden) };
}

bool asksForHelpOrVersion(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--")
            return false;
        if (argument == "-h" || argument == "-?" || argument == "--help" || argument == "--help-all"
            || argument == "-v" || argument == "--version")
            return true;
    }
    return false;
}

void showWindow(VelmoraAuth& window, const StartOptions& options)
{
    if (!options.startHidden) {
        window.show();
        return;
    }
    QPointer<VelmoraAuth> shown(&window);
    auto polls = std::make_shared<int>(0);
    auto* poll = new QTimer(&window);
    const auto decide = [shown, polls, poll] {
        if (!shown)
            return;
        if (shown->hasSystemTray()) {
            traceInfo("Start hidden in the system tray");
        } else if (++*polls > trayPolls) {
            traceInfo("No system tray to start hidden in: show the window");
            shown->show();
        } else {
            return;
        }
        poll->deleteLater();
    };
    QObject::connect(poll, &QTimer::timeout, &window, decide);
    poll->start(trayPollMilliseconds);
    decide();
}

} // namespace velmora
