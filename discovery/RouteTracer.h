#pragma once

#include <optional>
#include <string>

namespace velmora {

// The command that traces the first two hops towards the internet: IPv4, numeric, at most two
// hops, the shortest wait, destination 8.8.8.8. Its output names the destination's address once,
// before the hops.
extern const char* const gatewayTraceCommand;

// Runs a command and returns its whole standard output, unchanged but for the platform's header
// line, which is presented so that the destination's address appears once. When the command
// cannot be started, writes "Failed to open pipe." to standard error and returns nothing. The
// command's exit status is not looked at.
std::optional<std::string> runTracer(const std::string& command);

} // namespace velmora
