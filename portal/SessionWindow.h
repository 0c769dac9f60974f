#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// Trust on first use of each appliance endpoint over HTTPS. Every request to an endpoint with a
// trusted identity is checked in its TLS handshake and not sent to any other; a login from the
// window asks the user, once, whether to trust the new one, anything else tells them. A login
// hands its question to every exchange it runs; an exchange without one only tells.
struct IdentityQuestion
{
    bool mayAsk = false; // the form is valid: a login will follow
    bool asked = false;
    bool refused = false; // the user said No: the login ends
    std::string refusedEndpoint;
    // The program ended while the question was open: the login ends, and nobody said No.
    bool programEnded = false;
    // An automatic login only tells of a changed identity, and notes that it met one.
    bool tellOnly = false;
    bool changeSeen = false;
};

// What the portal's exchanges ask of the window. They run on any thread and touch no widget: the
// window implements these and does each widget step on its GUI thread. A step given `logins` is
// skipped when the user has started a login since (see VelmoraAuth::loginsStarted).
class SessionWindow
{
public:
    enum class Answer { yes, no, programEnds };

    // On a login thread: asks the user whether to trust the identity `shown` (empty: plain HTTP,
    // without any) instead of `remembered`, and waits for the answer or the end of the program.
    virtual Answer askToTrust(const std::string& endpoint, const std::string& remembered,
                              const std::string& shown) = 0;
    // Tells the user once of an identity change that nobody was asked about.
    virtual void noteIdentityChange(const std::string& endpoint, const std::string& shown) = 0;

    // A login or a revived session: the connected page; after a login it is painted at once.
    virtual void showConnectedPage(std::uint64_t logins, bool paint) = 0;
    // The session is over for this client: back to the login page.
    virtual void showLoginPage(std::uint64_t logins) = 0;
    // A login the appliance refused with a session-end text: the typed password is cleared
    // unless "Remember me" keeps it, and the connected page left, painted.
    virtual void leaveConnectedPage(std::uint64_t logins) = 0;
    // At a logout: the typed password cleared unless "Remember me" keeps it.
    virtual void forgetTypedPassword() = 0;
    // After a logout the appliance confirmed: the login page, painted.
    virtual void showLoggedOut() = 0;

    // The session's events, for the notices the user gets while the window is hidden.
    virtual void applianceAnswered(std::uint64_t logins) = 0;
    virtual void keepAliveUnanswered(std::uint64_t logins) = 0;
    virtual void sessionEnded(std::uint64_t logins, const std::string& reason) = 0;
    virtual void reloginFailed(std::uint64_t logins, const std::string& message) = 0;
    // The appliance ended or refused the session for `reason`: logging in automatically holds.
    virtual void applianceEndedSession(const std::string& reason) = 0;
    // The start-up session check has ended; on its own thread.
    virtual void sessionCheckEnded(bool revived) = 0;

protected:
    ~SessionWindow() = default;
};

} // namespace velmora
