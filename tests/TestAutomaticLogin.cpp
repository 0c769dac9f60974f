#include "settings/AutomaticLoginSettings.h"
#include "support/ModalBoxes.h"
#include "support/StoredValues.h"
#include "support/SystemServices.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

#include <QMenu>
#include <QScopeGuard>

#include <algorithm>
#include <thread>

using standin::Exchange;
using standin::Scheme;

// "Log in automatically" against the stand-in appliance, the real window, and NetworkManager and
// logind played on a system bus of the test's own. Each case counts the logins at the stand-in.
class TestAutomaticLogin : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestAutomaticLogin(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startWithRememberedCredentialsLogsInOnce();
    void expiredSessionAtStartIsOneLogin_data();
    void expiredSessionAtStartIsOneLogin();
    void nothingAtStartWithoutTheOptionOrTheCredentials_data();
    void nothingAtStartWithoutTheOptionOrTheCredentials();
    void trayActionFollowsRememberMeAndStoresTheOption();
    void networkUpConfirmsAStoredSessionBeforeItLogsIn();
    void afterDailyLogoutABurstOfEventsOrAResumeIsOneLogin();
    void refusingApplianceSeesAttemptsSpacedByTheBackOff();
    void nothingAfterTheUsersLogoutUntilTheyLogInAgain();
    void nothingAfterTheApplianceKickedTheUserOut();
    void nothingDuringTheUsersOwnLogin();
    void changedApplianceIdentityWaitsForTheWindow();
    void closingWhileAnAttemptRunsIsOrderly();

private:
    // What an earlier run left: the remembered credentials, the option, the endpoint and, with
    // keepSession, the session (without it the start has no session to check).
    void rememberedRun(bool keepSession, const std::string& rememberedPassword = "secret");
    // The window started as from the desktop, hidden, with a back-off of a minute.
    void startHidden();
    void startServices();
    // Logged in at start, then the appliance's Daily Logout ends the session at the next tick.
    void loggedInThenDailyLogout();

    std::unique_ptr<SystemServices> m_system;
    std::unique_ptr<LogTail> m_log;
};

void TestAutomaticLogin::initTestCase()
{
    m_system = std::make_unique<SystemServices>();
    QVERIFY2(m_system->isRunning(), "dbus-daemon for the private system bus");
}

void TestAutomaticLogin::init()
{
    m_home.clearSettings();
    m_appliance = startAppliance({ { "127.0.0.1", 0, Scheme::https } });
}

void TestAutomaticLogin::cleanup()
{
    stop();
    m_system->stopServices();
}

void TestAutomaticLogin::startServices()
{
    QVERIFY(m_system->startNetworkManager());
    QVERIFY(m_system->startLogind());
}

void TestAutomaticLogin::rememberedRun(bool keepSession, const std::string& rememberedPassword)
{
    earlierRun("ann", rememberedPassword);
    QVERIFY(storeValue(velmora::automaticLoginValueName, "1"));
    if (!keepSession)
        QVERIFY(storeValue(u"keep_k1", ""));
}

void TestAutomaticLogin::startHidden()
{
    m_log = std::make_unique<LogTail>(m_home.logFile());
    startWindow(Show::hidden);
    // Before the event loop runs: the start's attempt reports after this.
    m_inspect->automaticLogin().setBackOff(std::chrono::seconds(60), std::chrono::seconds(60));
}

void TestAutomaticLogin::loggedInThenDailyLogout()
{
    rememberedRun(false);
    startHidden();
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    QCOMPARE(logins(), 1);
    m_appliance->dailyLogout();
    QTRY_COMPARE_WITH_TIMEOUT(page(), 0, 12000);
    QVERIFY(m_inspect->isLoggedOut());
    // Not at once: only a later event, resume or start logs in again.
    QTest::qWait(2 * AutomaticLogin::eventSettling.count());
    QCOMPARE(logins(), 1);
}

void TestAutomaticLogin::startWithRememberedCredentialsLogsInOnce()
{
    // No NetworkManager, no logind: the start still logs in, and the log says once what is
    // missing.
    rememberedRun(false);
    startHidden();
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    QVERIFY(m_log->hasLine("info", "Log in automatically: the program started without a session"));
    QVERIFY(m_log->hasLine("info", "Logged in automatically"));
    QCOMPARE(loginPasswords(), std::vector<std::string> { "secret" });
    QTRY_COMPARE(m_log->count(QStringLiteral("No network events on this system")), 1);
    QTRY_COMPARE(m_log->count(QStringLiteral("No resume events on this system")), 1);

    // The ticker's keep-alive follows, and no second login.
    QTRY_VERIFY_WITH_TIMEOUT(m_appliance->requestLog().back().param("pageto") == "ka", 12000);
    QCOMPARE(logins(), 1);
    QVERIFY(m_inspect->tickerEnabled());
}

void TestAutomaticLogin::expiredSessionAtStartIsOneLogin_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("accepted") << "secret";
    QTest::newRow("refused") << "wrong";
}

void TestAutomaticLogin::expiredSessionAtStartIsOneLogin()
{
    // The start-up check's re-login with the remembered password is the start's login: a
    // refusal waits for the back-off instead of logging in again at once.
    QFETCH(QString, password);
    rememberedRun(true, password.toStdString());
    m_appliance->expireSessions();
    startHidden();
    if (password == QLatin1String("secret")) {
        QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
        QTRY_COMPARE(m_inspect->runningWorkerThreads(), 0);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(
            m_log->contains(QStringLiteral("Automatic login tries again in 60 s")), 10000);
    }
    QCOMPARE(logins(), 1);
    QVERIFY(!m_log->contains(QStringLiteral("the program started without a session")));
}

void TestAutomaticLogin::nothingAtStartWithoutTheOptionOrTheCredentials_data()
{
    QTest::addColumn<bool>("optionOn");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("option off") << false << "Log in automatically is off";
    QTest::newRow("nothing remembered")
        << true << "Automatic login needs the credentials that Remember me keeps";
}

void TestAutomaticLogin::nothingAtStartWithoutTheOptionOrTheCredentials()
{
    QFETCH(bool, optionOn);
    QFETCH(QString, logLine);
    startServices();
    earlierRun("ann");
    QVERIFY(storeValue(u"keep_k1", ""));
    if (optionOn) {
        // With the option still off: on, this window's own start would log in with the
        // credentials it is about to forget, and leave a session for the next start to revive.
        startWindow(Show::hidden);
        m_inspect->forgetCredentials();
        closeWindow();
    }
    QVERIFY(storeValue(velmora::automaticLoginValueName, optionOn ? "1" : "0"));
    startHidden();
    QTRY_VERIFY(m_log->hasLine("info", logLine));
    QCOMPARE(logins(), 0);
    QCOMPARE(page(), 0);
}

void TestAutomaticLogin::trayActionFollowsRememberMeAndStoresTheOption()
{
    startHidden();
    QAction* action = m_inspect->automaticLogin().action();
    QVERIFY(m_inspect->trayMenu()->actions().contains(action));
    QVERIFY(action->isCheckable());
    QVERIFY(!action->isChecked());
    QVERIFY(!action->isEnabled()); // nothing remembered

    m_inspect->rememberCredentials("ann", "secret");
    emit m_inspect->trayMenu()->aboutToShow();
    QVERIFY(action->isEnabled());
    action->trigger();
    QVERIFY(action->isChecked());
    QCOMPARE(storedValue(velmora::automaticLoginValueName), "1");
    action->trigger();
    QVERIFY(!action->isChecked());
    QCOMPARE(storedValue(velmora::automaticLoginValueName), "0");

    m_inspect->forgetCredentials();
    emit m_inspect->trayMenu()->aboutToShow();
    QVERIFY(!action->isEnabled());
}

void TestAutomaticLogin::networkUpConfirmsAStoredSessionBeforeItLogsIn()
{
    startServices();
    rememberedRun(true);
    // The start's check finds no appliance; the network then goes and comes back.
    m_appliance->stopListeners(standin::SessionsOnStop::keep);
    startHidden();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->contains(QStringLiteral("Automatic login tries again in 60 s")),
                             10000);
    QVERIFY(m_system->setNetworkState(SystemServices::disconnected));
    QTRY_VERIFY(m_log->contains(QStringLiteral("The network is down")));
    m_appliance->startListeners();
    m_appliance->expireSessions();
    m_appliance->clearRequestLog();

    QVERIFY(m_system->setNetworkState(SystemServices::connectedGlobal));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    QVERIFY(m_log->hasLine("info", "Log in automatically: the network came up or changed"));
    const auto requests = m_appliance->requestLog();
    QVERIFY(requests.size() >= 2);
    QCOMPARE(requests[0].param("pageto"), "ka"); // the state first
    QCOMPARE(requests[1].param("pageto"), "c");
    QCOMPARE(requests[1].param("password"), "secret");
    QCOMPARE(logins(), 1);
    QVERIFY(m_inspect->tickerEnabled());
}

void TestAutomaticLogin::afterDailyLogoutABurstOfEventsOrAResumeIsOneLogin()
{
    startServices();
    loggedInThenDailyLogout();

    // What a network change looks like from NetworkManager: state and connectivity, at once;
    // then more while the login it started waits for its answer.
    m_appliance->injectFault(
        faultOn(Exchange::login, standin::Fault::slowAnswer, std::chrono::milliseconds(2000)));
    QVERIFY(m_system->setNetworkState(SystemServices::connectedGlobal));
    QVERIFY(m_system->setConnectivity(SystemServices::connectivityPortal));
    QTRY_COMPARE_WITH_TIMEOUT(logins(), 2, 10000);
    QVERIFY(m_system->setConnectivity(SystemServices::connectivityFull));
    QTest::qWait(2 * AutomaticLogin::eventSettling.count()); // past the first burst's settling
    QVERIFY(m_system->setNetworkState(SystemServices::connectedGlobal));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    // The ticker takes over; still the one login.
    const std::size_t before = m_appliance->requestLog().size();
    QTRY_VERIFY_WITH_TIMEOUT(m_appliance->requestLog().size() > before, 12000);
    QCOMPARE(logins(), 2);
    QCOMPARE(m_log->count(QStringLiteral("Log in automatically: the network came up")), 1);

    // Another Daily Logout, then asleep and back: NetworkManager is still asleep when logind
    // says so.
    m_appliance->dailyLogout();
    QTRY_COMPARE_WITH_TIMEOUT(page(), 0, 12000);
    QVERIFY(m_system->setNetworkState(SystemServices::asleep));
    QVERIFY(m_system->prepareForSleep(true));
    QVERIFY(m_system->prepareForSleep(false));
    QTRY_VERIFY(m_log->contains(QStringLiteral("Resumed from sleep: automatic login waits")));
    QCOMPARE(logins(), 2);

    QVERIFY(m_system->setNetworkState(SystemServices::connectedGlobal));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    QVERIFY(m_log->hasLine("info", "Log in automatically: the computer woke from sleep"));
    QCOMPARE(logins(), 3);

    // Resumed on a network that is up: at once.
    m_appliance->dailyLogout();
    QTRY_COMPARE_WITH_TIMEOUT(page(), 0, 12000);
    QVERIFY(m_system->prepareForSleep(false));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    QCOMPARE(logins(), 4);
}

void TestAutomaticLogin::refusingApplianceSeesAttemptsSpacedByTheBackOff()
{
    rememberedRun(false, "wrong");
    const std::vector<int> waits { 0, 300, 600, 1200 };
    // Each login is timed as the stand-in logs it: a look from this thread now and then would
    // see one late and the next on time, and take the back-off for shorter than it was.
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> arrivals;
    std::thread timing([&] {
        m_appliance->waitUntil(
            [&](const std::vector<standin::LoggedRequest>& log) {
                const auto count = std::count_if(log.begin(), log.end(), [](const auto& request) {
                    return request.param("pageto") == "c";
                });
                while (arrivals.size() < static_cast<std::size_t>(count))
                    arrivals.push_back(Clock::now());
                return arrivals.size() >= waits.size();
            },
            std::chrono::seconds(20));
    });
    const auto joinTiming = qScopeGuard([&] {
        if (timing.joinable())
            timing.join();
    });
    startHidden();
    m_inspect->automaticLogin().setBackOff(std::chrono::milliseconds(waits[1]),
                                           std::chrono::milliseconds(waits[3]));
    QTRY_VERIFY_WITH_TIMEOUT(logins() >= static_cast<int>(waits.size()), 20000);
    timing.join();
    QCOMPARE(arrivals.size(), waits.size());
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        const auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(arrivals[i] - arrivals[i - 1])
                .count();
        // The retry is a coarse timer, which may fire up to 5 % early.
        QVERIFY2(
            gap >= waits[i] * 95 / 100 - 10,
            qPrintable(QStringLiteral("attempt %1 came %2 ms after the last").arg(i).arg(gap)));
    }
    // The back-off has run out against a refusal: the user is told, and it stops.
    QTRY_VERIFY(m_log->contains(QStringLiteral("Automatic login stops retrying")));
    QVERIFY(m_log->contains(QStringLiteral("notice in: Could not log in"))
            || m_log->contains(QStringLiteral("notice on the desktop: Could not log in")));
    QCOMPARE(logins(), 4);
    QCOMPARE(page(), 0);
}

void TestAutomaticLogin::nothingAfterTheUsersLogoutUntilTheyLogInAgain()
{
    startServices();
    rememberedRun(false);
    startHidden();
    m_window->show();
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    logOutFromButton();
    QCOMPARE(storedValue(velmora::automaticLoginHoldValueName), "logout");

    QVERIFY(m_system->setNetworkState(SystemServices::connectedGlobal));
    QTRY_VERIFY(m_log->contains(QStringLiteral("waits for the user: they logged out")));
    QCOMPARE(logins(), 1);

    // Across a restart too.
    startHidden();
    m_window->show();
    QTRY_VERIFY(m_log->contains(QStringLiteral("waits for the user: they logged out")));
    QCOMPARE(logins(), 1);

    // The user's own login lifts it; the logout forgot the endpoint, so they type it.
    ModalBoxes boxes;
    QCOMPARE(ui().lineEdit_password->text(), QStringLiteral("secret")); // remembered
    submitLogin(QStringLiteral("secret"), QStringLiteral("127.0.0.1"),
                m_appliance->listeners().at(0).port);
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    QTRY_COMPARE(storedValue(velmora::automaticLoginHoldValueName), "");
    QCOMPARE(logins(), 2);
}

void TestAutomaticLogin::nothingAfterTheApplianceKickedTheUserOut()
{
    startServices();
    rememberedRun(false);
    startHidden();
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    m_appliance->kickOut("ann");
    QTRY_COMPARE_WITH_TIMEOUT(page(), 0, 12000);
    QTRY_COMPARE(storedValue(velmora::automaticLoginHoldValueName), "appliance");

    QCOMPARE(m_log->count(QStringLiteral("administrator ended the session")), 1);
    QVERIFY(m_system->setNetworkState(SystemServices::connectedGlobal));
    QTRY_COMPARE(m_log->count(QStringLiteral("administrator ended the session")), 2);
    QVERIFY(m_system->prepareForSleep(false));
    QTRY_COMPARE(m_log->count(QStringLiteral("administrator ended the session")), 3);
    QCOMPARE(logins(), 1);
}

void TestAutomaticLogin::nothingDuringTheUsersOwnLogin()
{
    startServices();
    loggedInThenDailyLogout();
    m_window->show();
    ModalBoxes boxes;
    m_appliance->injectFault(
        faultOn(Exchange::login, standin::Fault::slowAnswer, std::chrono::milliseconds(2500)));
    click(ui().login);
    QTRY_COMPARE_WITH_TIMEOUT(logins(), 2, 10000); // the user's, held back at the stand-in

    QVERIFY(m_system->setNetworkState(SystemServices::connectedGlobal));
    QTRY_VERIFY(m_log->contains(QStringLiteral("leaves it to the user's own login")));
    QTRY_COMPARE_WITH_TIMEOUT(page(), 2, 10000);
    QCOMPARE(logins(), 2);
}

void TestAutomaticLogin::changedApplianceIdentityWaitsForTheWindow()
{
    // The same address and port, served with a fresh key: only a login from the window may ask
    // whether to trust it.
    rememberedRun(false);
    swapKey();
    ModalBoxes boxes;
    startHidden();
    QTRY_COMPARE_WITH_TIMEOUT(storedValue(velmora::automaticLoginHoldValueName), "identity", 10000);
    QVERIFY(
        m_log->contains(QStringLiteral("waits for the user: the appliance showed a new identity")));
    QCOMPARE(logins(), 0);
    for (const auto& request : m_appliance->requestLog())
        QVERIFY(request.method.empty()); // handshakes only: nothing was sent
}

void TestAutomaticLogin::closingWhileAnAttemptRunsIsOrderly()
{
    // Closed while the watcher waits for the bus's first answers and the start's attempt waits
    // for its login: everything they touch stays until they have ended (what the sanitizers
    // check here).
    startServices();
    rememberedRun(false);
    standin::FaultRule slow =
        faultOn(Exchange::login, standin::Fault::slowAnswer, std::chrono::seconds(20));
    slow.times = standin::Times::untilCleared();
    m_appliance->injectFault(slow);
    const LogTail log(m_home.logFile());
    for (int round = 0; round < 18; ++round) {
        // And with the login answered at once: the end meets the attempt as it writes the
        // session.
        if (round == 12)
            m_appliance->clearScripts();
        QVERIFY(storeValue(u"keep_k1", "")); // no session: each start logs in again
        startWindow(Show::hidden);
        QTest::qWait(round % 6 * 10);
        QVERIFY2(closeWindow() < 2000, qPrintable(QStringLiteral("round %1").arg(round)));
    }
    QCOMPARE(log.count(QStringLiteral("Log in automatically: the program started")), 18);
}

VELMORA_TEST_MAIN(TestAutomaticLogin)
#include "TestAutomaticLogin.moc"
