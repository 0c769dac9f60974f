#include "auth/VelmoraAuth.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "portal/PortalRequests.h"
#include "portal/TimeWorker.h"

#include <exception>
#include <iostream>

bool VelmoraAuth::logout()
{
    try {
        traceInfo("Try to logout.");
        forgetTypedPassword();
        // Whatever the appliance says, the session is over for this client.
        keepAliveWorker->enabled = false;

        const std::string path = velmora::logoutPath();
        const Endpoint endpoint = appliance();
        traceInfo(endpoint.https ? "Hit the logout API with https"
                                 : "Hit the logout API with http");
        std::cout << path << std::endl;
        const auto reply = sendPortalRequest(endpoint, path, nullptr);
        if (!reply) {
            std::cout << "Respose failed" << std::endl;
            setErrorMessage(velmora::networkFailureMessage);
            traceError(velmora::networkFailureMessage);
            return false;
        }
        traceInfo("Response code of logout API:" + std::to_string(reply->status));
        if (reply->status != 200) {
            std::cout << "Error" << reply->status << std::endl;
            setErrorMessage(velmora::connectionErrorMessage);
            traceError("Connection error:");
            return false;
        }
        const std::string shownBody = velmora::outsideText(reply->body);
        traceInfo("Response body of logout API:" + shownBody);
        std::cout << shownBody << std::endl;
        // The answer is plain text: only the bare word confirms.
        if (reply->body != "success") {
            std::cout << shownBody << std::endl;
            setErrorMessage(reply->body);
            traceError(shownBody);
            return false;
        }

        {
            std::lock_guard lock(stateMutex);
            isLoggedIn = false;
            isLoggedOut = true;
        }
        keepAliveWorker->enabled = false;
        traceInfo("Successfully logout.");
        clearSessionValues();
        showLoggedOut();
        return true;
    } catch (const std::exception& error) {
        std::cout << "Error:" << error.what() << std::endl;
        traceError(error.what());
        return false;
    }
}
