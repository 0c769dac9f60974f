#include "auth/VelmoraAuth.h"

#include "app/Trace.h"

#include <array>
#include <exception>
#include <iostream>

namespace {

// Tried in this order, one after another; the probe picks HTTPS for the first two.
constexpr std::array<std::int32_t, 3> defaultPorts { 8090, 443, 80 };

} // namespace

bool VelmoraAuth::findIpAndPort(bool autoDetectIp, bool autoDetectPort, std::string address,
                                std::int32_t port)
{
    try {
        std::string rememberedIP;
        std::int32_t rememberedPort = 0;
        {
            std::lock_guard lock(stateMutex);
            rememberedIP = fixedIP;
            rememberedPort = fixedPort;
        }

        if (!rememberedIP.empty() && autoDetectIp && autoDetectPort) {
            // The endpoint of the last login first: when it answers, no route trace is needed.
            const bool found = isVelmora(rememberedIP, rememberedPort);
            {
                std::lock_guard lock(stateMutex);
                isConnectedVelmora = found;
            }
            if (found)
                return true;
            // The user did not trust a changed identity: the login ends, with no other candidate.
            if (loginStoppedByUser())
                return false;
        } else if (!autoDetectIp) {
            if (!autoDetectPort) {
                traceInfo("Hit the isVelmora with ip " + address + " and port "
                          + std::to_string(port));
                return isVelmora(address, port);
            }
            traceInfo("Hit the isVelmora with ip " + address
                      + " and different-different port address");
            for (const std::int32_t candidate : defaultPorts) {
                if (isVelmora(address, candidate))
                    return true;
                if (loginStoppedByUser())
                    return false;
            }
            return false;
        }

        traceInfo("start traceroute and getting gateway ip address");
        const std::vector<std::string> gateways = traceroute();
        if (!autoDetectPort) {
            traceInfo("Hit the isVelmora with gateway ip address and port " + std::to_string(port));
            for (const std::string& gateway : gateways) {
                if (isVelmora(gateway, port))
                    return true;
                if (loginStoppedByUser())
                    return false;
            }
            return false;
        }
        traceInfo("Hit the isVelmora with gateway ip address and default port address");
        for (const std::string& gateway : gateways) {
            std::cout << gateway << std::endl;
            for (const std::int32_t candidate : defaultPorts) {
                if (isVelmora(gateway, candidate))
                    return true;
                if (loginStoppedByUser())
                    return false;
            }
        }
        return false;
    } catch (const std::exception& error) {
        std::cout << "Error:" << error.what() << std::endl;
        traceError(error.what());
        return false;
    }
}
