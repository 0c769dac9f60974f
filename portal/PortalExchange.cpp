#include "auth/VelmoraAuth.h"

#include "portal/PortalRequests.h"

VelmoraAuth::Endpoint VelmoraAuth::appliance() const
{
    std::lock_guard lock(stateMutex);
    return Endpoint { fixedIP, fixedPort, isHttps };
}

std::optional<velmora::HttpReply> VelmoraAuth::sendPortalRequest(const Endpoint& endpoint,
                                                                 const std::string& path)
{
    return requests.get(endpoint.address, endpoint.port, endpoint.https, path,
                        velmora::portalUserAgent);
}

void VelmoraAuth::setErrorMessage(const std::string& message)
{
    std::lock_guard lock(stateMutex);
    errorMessage = message;
}
