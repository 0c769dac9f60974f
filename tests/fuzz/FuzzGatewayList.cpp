// The gateway list taken from a route tracer's output: every dotted quad in order, less the first.

#include "discovery/GatewayList.h"
#include "FuzzSupport.h"

#include <regex>
#include <vector>

namespace {

// The rule as the standard library's ECMAScript regex states it. It backtracks on the stack, so it
// only judges inputs short enough for that.
constexpr std::size_t longestJudgedByRegex = 512;

std::vector<std::string> byRegex(const std::string& output)
{
    static const std::regex dottedQuad(R"(\d+\.\d+\.\d+\.\d+)", std::regex::ECMAScript);
    std::vector<std::string> matches;
    for (auto match = std::sregex_iterator(output.begin(), output.end(), dottedQuad);
         match != std::sregex_iterator(); ++match)
        matches.push_back(match->str());
    if (!matches.empty())
        matches.erase(matches.begin());
    return matches;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isDottedQuad(std::string_view text)
{
    int runs = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        while (i < text.size() && isDigit(text[i]))
            ++i;
        if (i == start)
            return false;
        if (++runs == 4)
            return i == text.size();
        if (i == text.size() || text[i] != '.')
            return false;
        ++i;
    }
}

std::string joined(const std::vector<std::string>& list)
{
    std::string text;
    for (const auto& item : list)
        text += item + ' ';
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string output(reinterpret_cast<const char*>(data), size);
    // What the list held before stays as it was, first element included.
    std::vector<std::string> gateways { "earlier" };
    velmora::collectGateways(output, gateways);
    FUZZ_CHECK(!gateways.empty() && gateways.front() == "earlier", joined(gateways));
    gateways.erase(gateways.begin());

    // Each one a dotted quad of the output, in the output's order, no two overlapping, and each
    // taking the whole run of digits at its end (the pattern's last run is greedy).
    const auto endsARun = [&](std::size_t end) {
        return end == output.size() || !isDigit(output[end]);
    };
    std::size_t from = 0;
    for (const std::string& gateway : gateways) {
        FUZZ_CHECK(isDottedQuad(gateway), gateway);
        std::size_t at = output.find(gateway, from);
        while (at != std::string::npos && !endsARun(at + gateway.size()))
            at = output.find(gateway, at + 1);
        FUZZ_CHECK(at != std::string::npos, joined(gateways));
        from = at + gateway.size();
    }

    if (output.size() <= longestJudgedByRegex)
        FUZZ_CHECK(gateways == byRegex(output), joined(gateways) + "| " + joined(byRegex(output)));
    return 0;
}
