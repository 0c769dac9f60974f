#include "auth/AutomaticLogin.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "auth/DesktopNotices.h"
#include "auth/InformationBox.h"
#include "auth/VelmoraAuth.h"
#include "portal/PortalRequests.h"
#include "portal/TimeWorker.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QThread>

#include <algorithm>
#include <utility>

using velmora::AutomaticLoginHold;
using velmora::SystemEvent;

namespace {

const char* whyNow(AutomaticLogin::Reason reason)
{
    switch (reason) {
    case AutomaticLogin::Reason::start:
        return "Log in automatically: the program started without a session";
    case AutomaticLogin::Reason::network:
        return "Log in automatically: the network came up or changed";
    case AutomaticLogin::Reason::resume:
        return "Log in automatically: the computer woke from sleep";
    case AutomaticLogin::Reason::retry:
        break;
    }
    return "Log in automatically again: the last attempt failed";
}

const char* whyHeld(AutomaticLoginHold hold)
{
    switch (hold) {
    case AutomaticLoginHold::userLoggedOut:
        return "Automatic login waits for the user: they logged out";
    case AutomaticLoginHold::endedByAppliance:
        return "Automatic login waits for the user: the appliance's administrator ended the "
               "session";
    case AutomaticLoginHold::identityChanged:
        return "Automatic login waits for the user: the appliance showed a new identity";
    case AutomaticLoginHold::none:
        break;
    }
    return "Automatic login may act again";
}

bool endedByAdministrator(const std::string& reason)
{
    return reason.find("kicked out") != std::string::npos
        || reason.find("blocked by") != std::string::npos;
}

std::string waitText(std::chrono::milliseconds wait)
{
    if (wait.count() % 1000 != 0)
        return std::to_string(wait.count()) + " ms";
    return std::to_string(wait.count() / 1000) + " s";
}

} // namespace

AutomaticLogin::AutomaticLogin(VelmoraAuth& window, QAction* before)
    : m_window(window)
    , m_on(velmora::automaticLoginIsOn(window.registryStore))
    , m_hold(velmora::automaticLoginHold(window.registryStore))
{
    m_action = new QAction(QStringLiteral("Log in automatically"), &window);
    m_action->setCheckable(true);
    window.trayMenu->insertAction(before, m_action);
    // Only credentials that "Remember me" keeps can log in without the user; looked at each time
    // the menu opens, since every login from the window rewrites them.
    const auto showState = [this] {
        m_action->setChecked(m_on);
        m_action->setEnabled(m_window.rememberedLogin().has_value());
    };
    connect(window.trayMenu, &QMenu::aboutToShow, this, showState);
    connect(m_action, &QAction::triggered, this, [this, showState](bool on) {
        setOn(on);
        showState();
    });
    showState();

    // Before the window's own connection, so that an attempt under way is superseded before the
    // logout request goes out.
    connect(window.ui.logout, &QPushButton::clicked, this, [this] { userLoggedOut(); });
    // Emitted by the user's logins only; queued, after everything the login wrote.
    connect(&window, &VelmoraAuth::loginFinished, this, [this, showState] {
        userLoginFinished();
        showState();
    });

    m_settling.setSingleShot(true);
    m_settling.setInterval(eventSettling);
    connect(&m_settling, &QTimer::timeout, this, [this] { act(m_settledReason); });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] { act(Reason::retry); });

    if (m_on)
        watchSystem(true);
}

AutomaticLogin::~AutomaticLogin()
{
    // First: the watcher may call in from its own thread until it has stopped.
    m_events.reset();
}

void AutomaticLogin::setBackOff(std::chrono::milliseconds first, std::chrono::milliseconds ceiling)
{
    m_first = first;
    m_ceiling = ceiling;
    m_nextWait = first;
}

void AutomaticLogin::post(std::function<void()> step)
{
    {
        std::lock_guard lock(m_postedMutex);
        m_posted.push_back(std::move(step));
    }
    // By name, through the queue above: ThreadSanitizer sees this lock, not Qt's event queue.
    QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

void AutomaticLogin::runPosted()
{
    std::deque<std::function<void()>> steps;
    {
        std::lock_guard lock(m_postedMutex);
        steps.swap(m_posted);
    }
    for (const auto& step : steps)
        step();
}

void AutomaticLogin::setOn(bool on)
{
    traceInfo(on ? "Turn on log in automatically" : "Turn off log in automatically");
    if (!velmora::setAutomaticLogin(m_window.registryStore, on)) {
        traceError("Could not change log in automatically");
        return;
    }
    m_on = on;
    watchSystem(on);
    if (!on) {
        m_settling.stop();
        m_retry.stop();
    }
    resetBackOff();
}

void AutomaticLogin::watchSystem(bool on)
{
    if (!on) {
        m_events.reset();
        return;
    }
    if (m_events)
        return;
    m_networkDown = false;
    m_events = std::make_unique<velmora::SystemEvents>(
        [this](SystemEvent event) { post([this, event] { systemEvent(event); }); });
}

void AutomaticLogin::systemEvent(SystemEvent event)
{
    if (!m_events)
        return; // turned off since
    switch (event) {
    case SystemEvent::noNetworkEvents:
        if (!m_toldNoNetworkEvents)
            traceInfo("No network events on this system: automatic login acts at start and "
                      "retries by itself");
        m_toldNoNetworkEvents = true;
        return;
    case SystemEvent::noResumeEvents:
        if (!m_toldNoResumeEvents)
            traceInfo("No resume events on this system: automatic login acts at start and "
                      "retries by itself");
        m_toldNoResumeEvents = true;
        return;
    case SystemEvent::networkDown:
        if (!m_networkDown)
            traceInfo("The network is down: automatic login waits for it");
        m_networkDown = true;
        m_retry.stop();
        return;
    case SystemEvent::networkUp:
        m_networkDown = false;
        eventArrived(m_resumeWaitsForNetwork ? Reason::resume : Reason::network);
        m_resumeWaitsForNetwork = false;
        return;
    case SystemEvent::resumed:
        if (m_networkDown) {
            traceInfo("Resumed from sleep: automatic login waits for the network");
            m_resumeWaitsForNetwork = true;
            m_retry.stop();
            resetBackOff();
            return;
        }
        eventArrived(Reason::resume);
        return;
    }
}

void AutomaticLogin::eventArrived(Reason reason)
{
    // A new network starts the back-off afresh; a burst of events is one.
    resetBackOff();
    m_retry.stop();
    if (m_underWay)
        m_eventDuringAttempt = true;
    if (!m_settling.isActive() || reason == Reason::resume)
        m_settledReason = reason;
    if (!m_settling.isActive())
        m_settling.start();
}

void AutomaticLogin::resetBackOff()
{
    m_nextWait = m_first;
    m_lastWait = std::chrono::milliseconds(0);
    m_toldFailure = false;
}

void AutomaticLogin::windowReady(bool sessionCheckUnderWay)
{
    if (!m_on) {
        traceInfo("Log in automatically is off");
        return;
    }
    if (!sessionCheckUnderWay)
        act(Reason::start);
}

void AutomaticLogin::sessionCheckEnded(bool revived)
{
    if (!m_on || revived || userIsBusy())
        return;
    // The check was the start's keep-alive. After "Session Expired" it has also tried the
    // remembered password: that was the start's login.
    bool loggedOut = false;
    std::string message;
    {
        std::lock_guard lock(m_window.stateMutex);
        loggedOut = m_window.isLoggedOut;
        message = m_window.errorMessage;
    }
    if (!loggedOut) {
        failed(Reason::start, Outcome::noAnswer, message);
        return;
    }
    if (message == "\"Session Expired\"") {
        failed(Reason::start, Outcome::refused, message);
        return;
    }
    // The appliance has ended the stored session: no session is left, so the start logs in.
    act(Reason::start);
}

void AutomaticLogin::rememberedLoginArrived()
{
    if (!std::exchange(m_waitsForCredentials, false))
        return;
    m_action->setEnabled(true);
    act(Reason::start);
}

void AutomaticLogin::applianceEnded(const std::string& reason)
{
    m_window.onGuiThread([this, reason] {
        if (endedByAdministrator(reason)) {
            hold(AutomaticLoginHold::endedByAppliance);
        } else if (reason.find("Daily Logout") != std::string::npos && m_retry.isActive()) {
            traceInfo("Daily logout: automatic login waits for the next network event, resume "
                      "or start");
            m_retry.stop();
        }
    });
}

void AutomaticLogin::hold(AutomaticLoginHold hold)
{
    m_settling.stop();
    m_retry.stop();
    if (hold == m_hold)
        return;
    m_hold = hold;
    traceInfo(whyHeld(hold));
    if (!velmora::setAutomaticLoginHold(m_window.registryStore, hold))
        traceError("Could not store why automatic login waits");
}

void AutomaticLogin::userLoggedOut()
{
    hold(AutomaticLoginHold::userLoggedOut);
    if (m_underWay) {
        // Whatever the attempt under way gets, the user's Logout decides.
        std::lock_guard lock(m_window.stateMutex);
        ++m_window.userLogins;
    }
}

void AutomaticLogin::userLoginFinished()
{
    bool loggedIn = false;
    {
        std::lock_guard lock(m_window.stateMutex);
        loggedIn = m_window.isLoggedIn;
    }
    if (!loggedIn)
        return;
    hold(AutomaticLoginHold::none);
    resetBackOff();
}

bool AutomaticLogin::userIsBusy() const
{
    // The user's own login, or their logout, holds the loading page and the disabled form.
    return !m_window.ui.stackedWidget->isEnabled()
        || m_window.ui.stackedWidget->currentIndex() == 1;
}

void AutomaticLogin::act(Reason reason)
{
    if (!m_on)
        return;
    if (m_underWay) {
        m_eventDuringAttempt = true; // merged into the attempt under way
        return;
    }
    if (m_hold != AutomaticLoginHold::none) {
        traceInfo(whyHeld(m_hold));
        return;
    }
    if (userIsBusy()) {
        traceInfo("Automatic login leaves it to the user's own login");
        if (reason == Reason::retry)
            m_retry.start(m_lastWait);
        return;
    }
    auto remembered = m_window.rememberedLogin();
    if (!remembered) {
        // The keyring may still be waiting for its unlock: its answer brings the attempt back.
        m_waitsForCredentials = true;
        traceInfo("Automatic login needs the credentials that Remember me keeps");
        return;
    }
    startAttempt(reason, std::move(*remembered));
}

void AutomaticLogin::startAttempt(Reason reason, velmora::RememberedLogin remembered)
{
    VelmoraAuth& window = m_window;
    const std::uint64_t logins = window.loginsStarted();
    {
        std::lock_guard lock(window.stateMutex);
        // Alive: the ticker keeps it, and a second keep-alive beside its own could log in twice.
        if (window.isLoggedIn && !window.isLoggedOut && window.keepAliveWorker->enabled)
            return;
    }
    traceInfo(whyNow(reason));

    auto* attemptThread = new QThread(&window);
    auto* context = new QObject;
    context->moveToThread(attemptThread);
    connect(attemptThread, &QThread::started, context,
            [this, &window, attemptThread, logins, reason, remembered] {
                std::string why;
                const Outcome outcome = attempt(logins, remembered, why);
                window.onGuiThread(
                    [this, reason, outcome, why] { attemptEnded(reason, outcome, why); });
                attemptThread->quit();
                window.workEnds();
            });
    connect(attemptThread, &QThread::finished, context, &QObject::deleteLater);
    connect(attemptThread, &QThread::finished, attemptThread, &QObject::deleteLater);
    m_underWay = true;
    m_eventDuringAttempt = false;
    window.showTrayState();
    std::erase_if(window.workerThreads,
                  [](const QPointer<QThread>& thread) { return thread.isNull(); });
    window.workerThreads.emplace_back(attemptThread);
    window.workStarts();
    attemptThread->start(QThread::InheritPriority);
}

AutomaticLogin::Outcome AutomaticLogin::attempt(std::uint64_t logins,
                                                const velmora::RememberedLogin& remembered,
                                                std::string& why)
{
    VelmoraAuth& window = m_window;
    bool storedSession = false;
    {
        std::lock_guard lock(window.stateMutex);
        if (window.userLogins != logins)
            return Outcome::superseded;
        if (window.isLoggedIn && !window.isLoggedOut && window.keepAliveWorker->enabled)
            return Outcome::sessionAlive;
        storedSession = !window.isLoggedOut && !window.k1.empty() && !window.username.empty()
            && !window.userid.empty() && !window.fixedIP.empty();
        window.errorMessage.clear();
    }
    // A changed identity is only told: the question belongs to a login from the window.
    VelmoraAuth::IdentityQuestion question;
    question.tellOnly = true;

    bool done = false;
    bool found = true;
    if (storedSession) {
        traceInfo("Automatic login confirms the stored session first");
        done = window.keepAliveExchange(logins, &question);
        if (done) {
            // Revived as the start-up check revives a session.
            bool revived = false;
            {
                std::lock_guard lock(window.stateMutex);
                revived = window.userLogins == logins && window.isLoggedOut == false;
                if (revived) {
                    window.keepAliveWorker->enabled = true;
                    window.isLoggedIn = true;
                }
            }
            if (revived)
                window.onGuiThreadUnlessSuperseded(
                    logins, [&window] { window.ui.stackedWidget->setCurrentIndex(2); });
        }
    } else {
        done = loginWithRemembered(logins, remembered, question, found);
    }

    if (window.isSuperseded(logins))
        return Outcome::superseded;
    if (done)
        return Outcome::online;
    if (question.changeSeen)
        return Outcome::identityChanged;
    {
        std::lock_guard lock(window.stateMutex);
        why = window.errorMessage;
    }
    if (endedByAdministrator(why))
        return Outcome::endedByAppliance;
    if (why.find("Daily Logout") != std::string::npos)
        return Outcome::dailyLogout;
    if (!found || why.empty() || why == velmora::networkFailureMessage) {
        why = velmora::networkFailureMessage;
        return Outcome::noAnswer;
    }
    return Outcome::refused;
}

bool AutomaticLogin::loginWithRemembered(std::uint64_t logins,
                                         const velmora::RememberedLogin& remembered,
                                         velmora::IdentityQuestion& question, bool& found)
{
    // The login workflow's search and login, with both auto-detect boxes ticked.
    VelmoraAuth& window = m_window;
    std::string rememberedIP;
    std::int32_t rememberedPort = 0;
    {
        std::lock_guard lock(window.stateMutex);
        window.isConnectedVelmora = false;
        rememberedIP = window.fixedIP;
        rememberedPort = window.fixedPort;
    }
    traceInfo("Try to get fixedIP address and fixedPort number");
    if (!rememberedIP.empty()) {
        traceInfo("User have fixedIP and fixedPort. first check this.");
        found = window.findIpAndPort(true, true, rememberedIP, rememberedPort, &question);
    } else {
        traceInfo("First time, try to find fixedIP and fixedPort and isHttps");
        found = window.findIpAndPort(true, true, std::string(), 0, &question);
    }
    {
        std::lock_guard lock(window.stateMutex);
        if (window.userLogins != logins)
            return false;
        window.isConnectedVelmora = found;
    }
    if (!found)
        return false;
    traceInfo("Device are connected to Velmora internet and all data are valid.");
    return window.loginExchange(remembered.username, remembered.password, logins, &question);
}

void AutomaticLogin::attemptEnded(Reason reason, Outcome outcome, const std::string& why)
{
    m_underWay = false;
    m_window.showTrayState();
    switch (outcome) {
    case Outcome::online:
        // Told nothing: the tray and the window show it.
        traceInfo("Logged in automatically");
        resetBackOff();
        return;
    case Outcome::sessionAlive:
    case Outcome::superseded:
        return;
    case Outcome::endedByAppliance:
        hold(AutomaticLoginHold::endedByAppliance);
        return;
    case Outcome::identityChanged:
        hold(AutomaticLoginHold::identityChanged);
        return;
    case Outcome::dailyLogout:
        traceInfo("Daily logout: automatic login waits for the next network event, resume or "
                  "start");
        return;
    case Outcome::noAnswer:
    case Outcome::refused:
        failed(reason, outcome, why);
        return;
    }
}

void AutomaticLogin::failed(Reason reason, Outcome outcome, const std::string& why)
{
    if (m_eventDuringAttempt) {
        // The network changed under the attempt: the next one comes soon, on the new network.
        m_eventDuringAttempt = false;
        resetBackOff();
    }
    const bool ranOut = reason == Reason::retry && m_lastWait >= m_ceiling;
    traceInfo("Automatic login failed: " + velmora::outsideText(why));
    if (ranOut && !m_toldFailure) {
        m_toldFailure = true;
        m_window.notices->automaticLoginFailed(velmora::shownMessage(why));
    }
    if (ranOut && outcome == Outcome::refused) {
        // A refused password only gets closer to a blocked account by repeating it.
        traceInfo("Automatic login stops retrying after its refusals: the next network event, "
                  "resume or start may try again");
        return;
    }
    if (m_networkDown) {
        traceInfo("The network is down: automatic login waits for it");
        return;
    }
    m_lastWait = m_nextWait;
    m_nextWait = std::min(m_nextWait * 2, m_ceiling);
    traceInfo("Automatic login tries again in " + waitText(m_lastWait));
    m_retry.start(m_lastWait);
}
