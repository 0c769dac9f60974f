#include "auth/VelmoraAuth.h"

#include "app/Ipv4Address.h"
#include "app/OutsideText.h"
#include "app/Trace.h"

#include <array>
#include <exception>
#include <iostream>

namespace {

// Tried in this order, one after another; the probe picks HTTPS for the first two.
constexpr std::array<std::int32_t, 3> defaultPorts { 8090, 443, 80 };

} // namespace

bool VelmoraAuth::findIpAndPort(bool autoDetectIp, bool autoDetectPort, std::string address,
                                std::int32_t port, IdentityQuestion* question)
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
            const bool found = isVelmora(rememberedIP, rememberedPort, question);
            {
                std::lock_guard lock(stateMutex);
                isConnectedVelmora = found;
            }
            if (found)
                return true;
            // The user did not trust a changed identity: the login ends, with no other candidate.
            if (loginStopped(question))
                return false;
        } else if (!autoDetectIp) {
            // The typed address as it will be contacted; a text that is no address is logged
            // escaped, and the probe refuses it.
            const std::optional<std::string> canonical = velmora::canonicalIpv4(address);
            if (canonical)
                address = *canonical;
            const std::string shown = canonical ? address : velmora::outsideText(address);
            if (!autoDetectPort) {
                traceInfo("Hit the isVelmora with ip " + shown + " and port "
                          + std::to_string(port));
                return isVelmora(address, port, question);
            }
            traceInfo("Hit the isVelmora with ip " + shown
                      + " and different-different port address");
            for (const std::int32_t candidate : defaultPorts) {
                if (isVelmora(address, candidate, question))
                    return true;
                if (loginStopped(question))
                    return false;
            }
            return false;
        }

        traceInfo("start traceroute and getting gateway ip address");
        std::vector<std::string> gateways = traceroute();
        // What the tracer printed, as it will be contacted; the probe refuses what is no address.
        for (std::string& gateway : gateways) {
            if (const auto canonical = velmora::canonicalIpv4(gateway))
                gateway = *canonical;
        }
        if (!autoDetectPort) {
            traceInfo("Hit the isVelmora with gateway ip address and port " + std::to_string(port));
            for (const std::string& gateway : gateways) {
                if (isVelmora(gateway, port, question))
                    return true;
                if (loginStopped(question))
                    return false;
            }
            return false;
        }
        traceInfo("Hit the isVelmora with gateway ip address and default port address");
        for (const std::string& gateway : gateways) {
            std::cout << gateway << std::endl;
            for (const std::int32_t candidate : defaultPorts) {
                if (isVelmora(gateway, candidate, question))
                    return true;
                if (loginStopped(question))
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
