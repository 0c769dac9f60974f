#include "discovery/RouteTracer.h"

#include <cstdio>
#include <iostream>

namespace velmora {

const char* const gatewayTraceCommand = "tracert -4 -d -h 2 -w 4 8.8.8.8";

std::optional<std::string> runTracer(const std::string& command)
{
    // Text mode, as tracert's console output is meant to be read: its CRLF line ends arrive as
    // LF. The command runs through %COMSPEC% /c.
    FILE* pipe = _popen(command.c_str(), "r");
    if (!pipe) {
        std::cerr << "Failed to open pipe." << std::endl;
        return std::nullopt;
    }

    std::string output;
    char buffer[128];
    // fgets stops at a line end or after 127 bytes, so a long line arrives in pieces, in order.
    // It returns null at the end of the stream and on a read error alike; testing feof alone
    // would spin forever on an error.
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    _pclose(pipe);
    return output;
}

} // namespace velmora
