#include "discovery/RouteTracer.h"

#include "discovery/GatewayList.h"

#include <cstdio>
#include <iostream>

namespace velmora {

// Debian's traceroute in the meaning of "tracert -4 -d -h 2 -w 4": IPv4, numeric, two hops,
// a 4-millisecond wait for each reply (it takes fractions of a second).
const char* const gatewayTraceCommand = "traceroute -4 -n -m 2 -w 0.004 8.8.8.8";

std::optional<std::string> runTracer(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        std::cerr << "Failed to open pipe." << std::endl;
        return std::nullopt;
    }
    std::string output;
    char buffer[128];
    // Until fgets fails, not until end of file alone: a read error sets no end-of-file and
    // would spin here for ever.
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    ::pclose(pipe);
    return withDestinationOnce(output);
}

} // namespace velmora
