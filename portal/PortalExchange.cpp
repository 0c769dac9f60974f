#include "auth/VelmoraAuth.h"

#include "portal/PortalRequests.h"

VelmoraAuth::Endpoint VelmoraAuth::appliance() const
{
    std::lock_guard lock(stateMutex);
    return Endpoint { fixedIP, fixedPort, isHttps };
}

std::optional<velmora::HttpReply> VelmoraAuth::sendPortalRequest(const Endpoint& endpoint,
                                                                 const std::string& path,
                                                                 IdentityQuestion* question,
                                                                 std::string* shownIdentity)
{
    return checkedGet(endpoint, path, velmora::portalUserAgent, question, shownIdentity);
}

void VelmoraAuth::setErrorMessage(const std::string& message)
{
    std::lock_guard lock(stateMutex);
    errorMessage = message;
}

std::uint64_t VelmoraAuth::loginsStarted() const
{
    std::lock_guard lock(stateMutex);
    return userLogins;
}

bool VelmoraAuth::isSuperseded(std::uint64_t logins) const
{
    return loginsStarted() != logins;
}

void VelmoraAuth::setErrorMessage(const std::string& message, std::uint64_t logins)
{
    std::lock_guard lock(stateMutex);
    if (userLogins == logins)
        errorMessage = message;
}

void VelmoraAuth::onGuiThreadUnlessSuperseded(std::uint64_t logins, std::function<void()> step)
{
    // Checked on the GUI thread, where startLogin runs: no login can start in between.
    onGuiThread([this, logins, step = std::move(step)] {
        if (!isSuperseded(logins))
            step();
    });
}
