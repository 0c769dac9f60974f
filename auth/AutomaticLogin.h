#pragma once

#include "app/SystemEvents.h"
#include "portal/SessionWindow.h"
#include "settings/AutomaticLoginSettings.h"
#include "settings/RememberedLogin.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QAction;
class VelmoraAuth;

// "Log in automatically": with the remembered credentials, back online without a click at
// start, when the network comes up or changes, after resume, and again after a failed attempt
// with a back-off. The state first: a stored session is confirmed by a keep-alive before any
// login, and a live one is left to the ticker. Never after the user's Logout, after an
// administrator ended the session, on a changed appliance identity, or while the user logs in
// themselves. Lives on the GUI thread; each attempt runs on a thread of its own.
class AutomaticLogin : public QObject
{
    Q_OBJECT

public:
    enum class Reason { start, network, resume, retry };

    // The back-off between failed attempts doubles from the first wait up to the ceiling.
    static constexpr std::chrono::milliseconds firstRetry { 4000 };
    static constexpr std::chrono::milliseconds retryCeiling { 300000 };
    // The system's events come in bursts (state, then connectivity): those within this time are
    // one event.
    static constexpr std::chrono::milliseconds eventSettling { 500 };

    // Puts its action into the tray menu before `before`.
    AutomaticLogin(VelmoraAuth& window, QAction* before);
    ~AutomaticLogin() override;

    // The window is built; without a start-up session check under way the start acts now.
    void windowReady(bool sessionCheckUnderWay);
    // The start-up session check has ended.
    void sessionCheckEnded(bool revived);
    // From any thread: the appliance ended or refused a session with this reason.
    void applianceEnded(const std::string& reason);

    bool underWay() const { return m_underWay; }
    // The remembered password has come from the keyring: an attempt that found none may go now.
    void rememberedLoginArrived();
    QAction* action() const { return m_action; }
    // Tests wait less.
    void setBackOff(std::chrono::milliseconds first, std::chrono::milliseconds ceiling);

private slots:
    void runPosted();

private:
    enum class Outcome {
        online,
        sessionAlive, // the ticker keeps a live session: nothing was sent
        superseded, // the user logged in or out meanwhile
        noAnswer,
        refused,
        dailyLogout,
        endedByAppliance,
        identityChanged,
    };

    void setOn(bool on);
    void watchSystem(bool on);
    void systemEvent(velmora::SystemEvent event);
    void eventArrived(Reason reason);
    void act(Reason reason);
    void startAttempt(Reason reason, velmora::RememberedLogin remembered);
    Outcome attempt(std::uint64_t logins, const velmora::RememberedLogin& remembered,
                    std::string& why);
    bool loginWithRemembered(std::uint64_t logins, const velmora::RememberedLogin& remembered,
                             velmora::IdentityQuestion& question, bool& found);
    void attemptEnded(Reason reason, Outcome outcome, const std::string& why);
    void failed(Reason reason, Outcome outcome, const std::string& why);
    void resetBackOff();
    void hold(velmora::AutomaticLoginHold hold);
    void userLoggedOut();
    void userLoginFinished();
    bool userIsBusy() const;
    void showAvailability();
    // From any thread to the GUI thread, in order; dropped with this object.
    void post(std::function<void()> step);

    VelmoraAuth& m_window;
    QAction* m_action = nullptr;
    bool m_on = false;
    velmora::AutomaticLoginHold m_hold = velmora::AutomaticLoginHold::none;
    std::unique_ptr<velmora::SystemEvents> m_events;
    bool m_toldNoNetworkEvents = false;
    bool m_toldNoResumeEvents = false;
    bool m_networkDown = false;
    // Resumed while the network was down: the network's own signal starts the attempt.
    bool m_resumeWaitsForNetwork = false;

    QTimer m_settling;
    Reason m_settledReason = Reason::network;
    QTimer m_retry;
    std::chrono::milliseconds m_first = firstRetry;
    std::chrono::milliseconds m_ceiling = retryCeiling;
    std::chrono::milliseconds m_nextWait = firstRetry;
    std::chrono::milliseconds m_lastWait { 0 };
    bool m_toldFailure = false;

    bool m_underWay = false;
    // An attempt found no remembered password (a keyring that has not answered yet).
    bool m_waitsForCredentials = false;
    // An event came while an attempt ran: merged into it, and a failure retries soon.
    bool m_eventDuringAttempt = false;

    std::mutex m_postedMutex;
    std::deque<std::function<void()>> m_posted;
};
