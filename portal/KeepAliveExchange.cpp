#include "auth/VelmoraAuth.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "portal/PortalAnswers.h"
#include "portal/PortalRequests.h"
#include "portal/TimeWorker.h"
#include "settings/RememberedLogin.h"

#include <exception>
#include <iostream>

bool VelmoraAuth::keepALive()
{
    return keepAliveExchange(loginsStarted(), nullptr);
}

bool VelmoraAuth::keepAliveExchange(std::uint64_t logins, IdentityQuestion* question)
{
    std::string sessionUserid, sessionUsername, sessionK1;
    {
        std::lock_guard lock(stateMutex);
        // A late tick after a logout, or one during a login, sends nothing.
        if (isLoggedOut)
            return false;
        sessionUserid = userid;
        sessionUsername = username;
        sessionK1 = k1;
    }
    try {
        const std::string path = velmora::keepAlivePath(sessionUserid, sessionUsername, sessionK1);
        const Endpoint endpoint = appliance();
        traceInfo(endpoint.https ? "hit keepalive API with https" : "hit keepalive API with http");
        std::cout << velmora::outsideText(path) << std::endl;
        const auto reply = sendPortalRequest(endpoint, path, question);
        if (!reply) {
            std::cout << "Respose failed" << std::endl;
            // No login is tried: the appliance may come back, and the tick goes on.
            if (shownPage.load() != 0)
                traceInfo("Try to login when login failed.");
            setErrorMessage(velmora::networkFailureMessage, logins);
            traceError(velmora::networkFailureMessage);
            keepAliveUnanswered(logins);
            return false;
        }
        applianceAnswered(logins);
        if (reply->status != 200) {
            std::cout << "Error" << reply->status << std::endl;
            setErrorMessage(velmora::connectionErrorMessage, logins);
            traceError("Connection error");
            return false;
        }

        using Kind = velmora::KeepAliveAnswer::Kind;
        const velmora::KeepAliveAnswer answer = velmora::readKeepAliveAnswer(reply->body);
        // The parser's message quotes the body, and the trace of a refusal is its reason.
        if (!answer.parseError.empty())
            traceError(velmora::outsideText(answer.parseError));
        if (!answer.status.empty())
            std::cout << velmora::outsideText(answer.status) << std::endl;
        if (answer.kind == Kind::Confirmed)
            return true;
        traceError(velmora::outsideText(answer.trace));
        if (answer.kind == Kind::Malformed)
            return false;

        // From here on every step acts on the session: none once the user has started a login.
        if (isSuperseded(logins))
            return false;
        setErrorMessage(answer.errors, logins);
        if (answer.errors == "Session Expired") {
            traceError("Try to login when session expired keepalive");
            std::string name, password;
            {
                std::lock_guard lock(stateMutex);
                name = username;
                password = loginPassword;
            }
            // A session revived at start was never logged in by this run: its password is the
            // one "Remember me" keeps, and only for the same name.
            if (password.empty()) {
                const auto remembered = rememberedLogin();
                if (remembered && remembered->username == name)
                    password = remembered->password;
            }
            // Without one, no login goes out: an empty password is a failed login to the
            // appliance, and failed logins count towards blocking the account.
            if (password.empty())
                traceError("No password to log in again with");
            else if (loginExchange(name, password, logins, question))
                return true;
        }

        // Judged on the message as a failed re-login may have left it.
        std::string message;
        {
            std::lock_guard lock(stateMutex);
            message = errorMessage;
        }
        const auto noticeEnd = [this, logins, relogin = answer.errors == "Session Expired",
                                reason = answer.errors, loginMessage = message] {
            relogin ? reloginFailed(logins, loginMessage) : sessionEnded(logins, reason);
        };
        if (velmora::containsSessionEndText(message)) {
            {
                std::lock_guard lock(stateMutex);
                if (userLogins != logins)
                    return false;
                keepAliveWorker->enabled = false;
                isLoggedIn = false;
                isLoggedOut = true;
                errorMessage = answer.errorsJson;
            }
            applianceEndedSession(message);
            showLoginPage(logins);
            noticeEnd();
            return false;
        }
        if (message.find("kicked") == std::string::npos) {
            std::cout << "you are kick out" << std::endl;
            {
                std::lock_guard lock(stateMutex);
                if (userLogins != logins)
                    return false;
                errorMessage = answer.errorsJson;
                isLoggedOut = true;
                keepAliveWorker->enabled = false;
            }
            showLoginPage(logins);
            noticeEnd();
            return false;
        }
        // "kicked" without a session-end text: left as it is until the next tick.
        return false;
    } catch (const std::exception& error) {
        std::cout << "Error:" << error.what() << std::endl;
        traceError(error.what());
        return false;
    }
}

void VelmoraAuth::checkALive()
{
    // Taken at once, so the ticker keeps its pace while a keep-alive waits for the appliance.
    keepAliveWorker->tickTaken();
    if (keepAliveUnderWay) {
        // A tick's time without an answer: for the user as good as a keep-alive unanswered, and
        // three in a row are told. One tick waits behind the keep-alive; later ones join it, so
        // no backlog runs once the appliance answers again.
        tickWaiting = true;
        keepAliveUnanswered(loginsStarted());
        return;
    }
    startKeepAlive();
}

void VelmoraAuth::startKeepAlive()
{
    keepAliveUnderWay = true;
    offGuiThread([this] { return keepALive(); }, [this](bool alive) { keepAliveEnded(alive); });
}

void VelmoraAuth::keepAliveEnded(bool alive)
{
    std::cout << (alive ? "KeppALive connected" : "KeppALive not connected") << std::endl;
    keepAliveUnderWay = false;
    if (tickWaiting) {
        tickWaiting = false;
        startKeepAlive();
    }
}
