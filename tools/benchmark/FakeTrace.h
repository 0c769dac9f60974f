#pragma once

#include <string>
#include <vector>

namespace velmora::bench {

// The tracer command the search is given in place of the real route trace: it prints a trace
// whose hops are these gateways, as Debian's traceroute would.
inline std::string fakeTraceCommand(const std::vector<std::string>& gateways)
{
    std::string trace = "printf 'traceroute to 8.8.8.8, 2 hops max, 60 byte packets\\n";
    int hop = 0;
    for (const std::string& gateway : gateways) {
        trace.append(" ").append(std::to_string(++hop)).append("  ").append(gateway);
        trace.append("  0.050 ms\\n");
    }
    return trace.append("'");
}

} // namespace velmora::bench
