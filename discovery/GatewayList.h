#pragma once

#include <string>
#include <vector>

namespace velmora {

// Appends every dotted quad of a tracer's output to gateways, in order, echoing each as
// "Found email address: " and the match on standard output, then drops the first: that one is the
// destination named in the header line, the rest are the hops. No range check: "999.1.1.1" is
// kept, and "1.2.3.4.5" yields "1.2.3.4". Should the search throw, gateways keeps what was found
// so far and nothing is dropped.
void collectGateways(const std::string& tracerOutput, std::vector<std::string>& gateways);

// Debian's traceroute names the destination twice in its header ("traceroute to 8.8.8.8 (8.8.8.8),
// ..."), where tracert names it once: drops the parenthesised copy from the first line, so that
// collectGateways drops exactly one address before the hops. Other output comes back unchanged.
std::string withDestinationOnce(const std::string& tracerOutput);

} // namespace velmora
