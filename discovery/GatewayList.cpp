#include "discovery/GatewayList.h"

#include <iostream>
#include <regex>

namespace velmora {

void collectGateways(const std::string& tracerOutput, std::vector<std::string>& gateways)
{
    static const std::regex dottedQuad(R"(\d+\.\d+\.\d+\.\d+)", std::regex::ECMAScript);
    const size_t firstNew = gateways.size();
    for (auto match = std::sregex_iterator(tracerOutput.begin(), tracerOutput.end(), dottedQuad);
         match != std::sregex_iterator(); ++match) {
        std::cout << "Found email address: " << match->str() << std::endl;
        gateways.push_back(match->str());
    }
    if (gateways.size() > firstNew)
        gateways.erase(gateways.begin() + static_cast<std::ptrdiff_t>(firstNew));
}

} // namespace velmora
