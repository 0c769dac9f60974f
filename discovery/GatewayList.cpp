#include "discovery/GatewayList.h"

#include <iostream>
#include <string_view>

namespace velmora {

namespace {

// The pattern is "\d+\.\d+\.\d+\.\d+" (ECMAScript), read by hand: the standard library's regex
// backtracks on the stack, a level or more per character, so a long run of digits overflowed it
// (and each start position rescanned the run). Greedy runs that must be followed by a dot can only
// match whole, so one pass finds the same matches.

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

size_t digitsEnd(const std::string& text, size_t from)
{
    while (from < text.size() && isDigit(text[from]))
        ++from;
    return from;
}

// Where the dotted quad that starts at from ends, or npos when none starts there.
size_t dottedQuadEnd(const std::string& text, size_t from)
{
    size_t at = from;
    for (int run = 0; run < 4; ++run) {
        if (run > 0) {
            if (at == text.size() || text[at] != '.')
                return std::string::npos;
            ++at;
        }
        const size_t end = digitsEnd(text, at);
        if (end == at)
            return std::string::npos;
        at = end;
    }
    return at;
}

} // namespace

void collectGateways(const std::string& tracerOutput, std::vector<std::string>& gateways)
{
    const size_t firstNew = gateways.size();
    size_t at = 0;
    while (at < tracerOutput.size()) {
        if (!isDigit(tracerOutput[at])) {
            ++at;
            continue;
        }
        const size_t end = dottedQuadEnd(tracerOutput, at);
        if (end == std::string::npos) {
            // A start later in the same run would meet the same runs after it.
            at = digitsEnd(tracerOutput, at);
            continue;
        }
        const std::string match = tracerOutput.substr(at, end - at);
        std::cout << "Found email address: " << match << std::endl;
        gateways.push_back(match);
        at = end;
    }
    if (gateways.size() > firstNew)
        gateways.erase(gateways.begin() + static_cast<std::ptrdiff_t>(firstNew));
}

std::string withDestinationOnce(const std::string& tracerOutput)
{
    // "^(traceroute to \S+) \([^)\n]*\)" kept as "$1", read by hand for the same reason as above:
    // both runs are greedy and must be followed by what they exclude, so they can only match whole.
    static constexpr std::string_view header = "traceroute to ";
    if (!std::string_view(tracerOutput).starts_with(header))
        return tracerOutput;
    const size_t nameEnd = tracerOutput.find_first_of(" \t\n\v\f\r", header.size());
    if (nameEnd == header.size() || nameEnd == std::string::npos
        || tracerOutput.compare(nameEnd, 2, " (") != 0)
        return tracerOutput;
    const size_t close = tracerOutput.find_first_of(")\n", nameEnd + 2);
    if (close == std::string::npos || tracerOutput[close] != ')')
        return tracerOutput;
    return tracerOutput.substr(0, nameEnd) + tracerOutput.substr(close + 1);
}

} // namespace velmora
