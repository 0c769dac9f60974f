#pragma once

#include <optional>
#include <string>

namespace velmora {

// The command that traces the first two hops towards the internet: IPv4, numeric, at most two
// hops, the shortest wait, destination 8.8.8.8. Its output names the destination's address once,
// before the hops.
extern const char* const gatewayTraceCommand;

// Runs a command and returns its whole standard output as the platform's text-mode pipe gives it
// (Windows turns CRLF into LF), with one change on Linux: traceroute's header line names the
// destination twice, and is presented so that it names it once, as tracert's does. When the
// command cannot be started, writes "Failed to open pipe." to standard error and returns nothing.
// The command's exit status is not looked at.
std::optional<std::string> runTracer(const std::string& command);

} // namespace velmora
