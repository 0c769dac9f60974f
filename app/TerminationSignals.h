#pragma once

namespace velmora {

// Makes the requests to end the process that a desktop session sends (SIGTERM at logout, SIGINT
// from a terminal, SIGHUP when the terminal goes) end the program the way the tray's Exit does:
// the event loop returns and everything is torn down in order. Call once, after the application
// object exists.
void quitOnTerminationRequests();

} // namespace velmora
