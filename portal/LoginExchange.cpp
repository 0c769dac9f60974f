#include "auth/VelmoraAuth.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "portal/PortalAnswers.h"
#include "portal/PortalRequests.h"
#include "portal/TimeWorker.h"

#include <exception>
#include <iostream>

bool VelmoraAuth::login(std::string username, std::string password, IdentityQuestion* question)
{
    return loginExchange(std::move(username), std::move(password), loginsStarted(), question);
}

bool VelmoraAuth::loginExchange(std::string username, std::string password, std::uint64_t logins,
                                IdentityQuestion* question)
{
    try {
        const Endpoint endpoint = appliance();
        const std::string path = velmora::loginPath(username, password);
        // An appliance that repeats the request in its answer repeats the password, in whatever
        // form: every echo of it is masked wherever outside text is shown.
        velmora::hideFromOutsideText(password);
        // The password never reaches the log or the console: standard output ends up in session
        // logs on Linux. A re-login sends the name the appliance gave: it is outside text too.
        const std::string shownName = velmora::outsideText(username);
        traceInfo(endpoint.https
                      ? "Hit the login API with https: username=" + shownName + ", password=*******"
                      : "Hit the login API with http: username=" + shownName
                          + ", password=********");
        std::cout << velmora::outsideText(velmora::maskedLoginPath(username)) << std::endl;
        std::cout << "isHttps: " << endpoint.https << std::endl;

        std::string shownIdentity;
        const auto reply = sendPortalRequest(endpoint, path, question, &shownIdentity);
        std::cout << "....................." << (reply ? 1 : 0) << std::endl;
        if (!reply) {
            setErrorMessage(velmora::networkFailureMessage, logins);
            traceError(velmora::networkFailureMessage);
            return false;
        }
        applianceAnswered(logins);
        std::cout << "++++++++" << reply->status << std::endl;
        traceInfo("Response code of Login API:" + std::to_string(reply->status));
        if (reply->status != 200) {
            std::cout << "Error with response status code:" << reply->status << std::endl;
            setErrorMessage(velmora::connectionErrorMessage, logins);
            traceError("Connection Error: not getting proper response");
            return false;
        }
        const std::string shownBody = velmora::outsideText(reply->body);
        traceInfo("Response body of Login API:" + shownBody);
        std::cout << shownBody << std::endl;

        using Kind = velmora::LoginAnswer::Kind;
        const velmora::LoginAnswer answer = velmora::readLoginAnswer(reply->body);
        if (!answer.status.empty())
            std::cout << velmora::outsideText(answer.status) << std::endl;
        switch (answer.kind) {
        case Kind::Unreadable:
        case Kind::Unusable:
            // The parser's message quotes the body.
            traceError(velmora::outsideText(answer.trace));
            return false;
        case Kind::UnusableSession:
            // The appliance said yes without usable session values: end that session again.
            traceError(answer.trace);
            if (!isSuperseded(logins))
                logout();
            return false;
        case Kind::Refused:
            setErrorMessage(answer.errors, logins);
            if (velmora::containsSessionEndText(answer.errors)) {
                {
                    std::lock_guard lock(stateMutex);
                    if (userLogins != logins)
                        return false;
                    keepAliveWorker->enabled = false;
                    isLoggedOut = true;
                }
                applianceEndedSession(answer.errors);
                leaveConnectedPage(logins);
                return false;
            }
            std::cout << velmora::outsideText(answer.errorsJson) << std::endl;
            setErrorMessage(answer.errorsJson, logins);
            return false;
        case Kind::Accepted:
            break;
        }

        std::cout << velmora::outsideText(answer.data) << '\n'
                  << velmora::outsideText(answer.userid) << '\n'
                  << velmora::outsideText(answer.username) << '\n'
                  << velmora::outsideText(answer.k1) << std::endl;
        traceInfo("Set reponse data into for keep alive.");
        {
            std::lock_guard lock(stateMutex);
            // A login of the user's own has started since this one began: theirs is the session.
            if (userLogins != logins)
                return false;
            userid = answer.userid;
            this->username = answer.username;
            k1 = answer.k1;
            loginPassword = password;
            isLoggedIn = true;
            isLoggedOut = false;
        }
        traceInfo("Start keep alive thread.");
        rememberIdentity(endpoint, shownIdentity);
        saveSessionValues();
        loadSessionValues();
        keepAliveWorker->enabled = true;
        showConnectedPage(logins, true);
        return true;
    } catch (const std::exception& error) {
        std::cout << "Error:" << error.what() << std::endl;
        traceError(error.what());
        return false;
    }
}
