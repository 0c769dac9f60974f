#include "discovery/RouteTracer.h"

#include <cstdio>
#include <iostream>
#include <regex>

namespace velmora {

// Debian's traceroute in the meaning of "tracert -4 -d -h 2 -w 4": IPv4, numeric, two hops,
// a 4-millisecond wait for each reply (it takes fractions of a second).
const char* const gatewayTraceCommand = "traceroute -4 -n -m 2 -w 0.004 8.8.8.8";

namespace {

// traceroute names the destination twice in its header ("traceroute to 8.8.8.8 (8.8.8.8), ..."),
// where tracert names it once; the gateway list drops exactly one address before the hops.
std::string withDestinationOnce(const std::string& output)
{
    static const std::regex header(R"(^(traceroute to \S+) \([^)\n]*\))");
    return std::regex_replace(output, header, "$1", std::regex_constants::format_first_only);
}

} // namespace

std::optional<std::string> runTracer(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        std::cerr << "Failed to open pipe." << std::endl;
        return std::nullopt;
    }
    std::string output;
    char buffer[128];
    while (!std::feof(pipe)) {
        if (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
    }
    ::pclose(pipe);
    return withDestinationOnce(output);
}

} // namespace velmora
