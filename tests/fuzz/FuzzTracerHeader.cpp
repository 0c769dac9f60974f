// The header rewrite of Debian's traceroute output, then the gateway list taken from it.

#include "discovery/GatewayList.h"
#include "FuzzSupport.h"

#include <regex>
#include <vector>

namespace {

constexpr std::size_t longestJudgedByRegex = 512;

// The rewrite as a regex states it; it backtracks on the stack, so it judges short inputs only.
std::string byRegex(const std::string& output)
{
    static const std::regex header(R"(^(traceroute to \S+) \([^)\n]*\))");
    return std::regex_replace(output, header, "$1", std::regex_constants::format_first_only);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string output(reinterpret_cast<const char*>(data), size);
    const std::string rewritten = velmora::withDestinationOnce(output);

    // Only traceroute's own header is touched.
    const std::string_view header = "traceroute to ";
    if (!output.starts_with(header)) {
        FUZZ_CHECK(rewritten == output, output);
        return 0;
    }
    // At most the parenthesised piece right after the destination's name goes; the rest of the
    // header and the hops below stay as printed.
    const std::size_t nameEnd = output.find_first_of(" \t\n\v\f\r", header.size());
    FUZZ_CHECK(rewritten.size() <= output.size(), rewritten);
    const std::size_t removed = output.size() - rewritten.size();
    if (removed == 0) {
        FUZZ_CHECK(rewritten == output, rewritten);
    } else {
        FUZZ_CHECK(nameEnd != std::string::npos && nameEnd > header.size(), output);
        FUZZ_CHECK(output.compare(0, nameEnd, rewritten, 0, nameEnd) == 0, rewritten);
        FUZZ_CHECK(output.compare(nameEnd + removed, std::string::npos, rewritten, nameEnd) == 0,
                   rewritten);
        const std::string_view gone = std::string_view(output).substr(nameEnd, removed);
        FUZZ_CHECK(gone.starts_with(" (") && gone.ends_with(')'), gone);
        FUZZ_CHECK(gone.find_first_of(")\n") == gone.size() - 1, gone);
    }

    if (output.size() <= longestJudgedByRegex)
        FUZZ_CHECK(rewritten == byRegex(output), rewritten + "| " + byRegex(output));

    // And the list taken from it: the search must cope with whatever the header left.
    std::vector<std::string> gateways;
    velmora::collectGateways(rewritten, gateways);
    return 0;
}
