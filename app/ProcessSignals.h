#pragma once

namespace velmora {

// Makes the requests to end the process that a desktop session sends (SIGTERM at logout, SIGINT
// from a terminal, SIGHUP when the terminal goes) end the program the way the tray's Exit does:
// the event loop returns and everything is torn down in order. Call once, after the application
// object exists.
void quitOnTerminationRequests();

// A peer that drops a connection must not end the program: OpenSSL sends its closing notice with
// a plain write(), which raises SIGPIPE on a socket the appliance has reset. Call once, early.
void ignoreBrokenPipes();

} // namespace velmora
