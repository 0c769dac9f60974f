#pragma once

class QCoreApplication;
class VelmoraAuth;

namespace velmora {

struct StartOptions
{
    // In the tray, the window not shown: how the desktop starts the program at login.
    bool startHidden = false;
};

// Reads the command line. --help and --version, and an option or argument it does not know, end
// the program here, as command-line programs do: the first two with exit code 0, the last with 2.
StartOptions readStartOptions(const QCoreApplication& application);

// Whether the command line asks for --help or --version: they are answered before the GUI
// application exists, so they work without a display.
bool asksForHelpOrVersion(int argc, char* argv[]);

// Shows the window, or, started hidden, leaves it in the tray. Without a tray it shows as usual;
// a desktop's panel may come up a moment after the programs it starts, so its tray gets that
// moment first.
void showWindow(VelmoraAuth& window, const StartOptions& options);

} // namespace velmora
