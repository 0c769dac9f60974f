#include "support/ModalBoxes.h"
#include "support/PortalTestSupport.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

using standin::Exchange;
using standin::Scheme;

namespace {

// Counts keepAliveFinished on the test's own thread. The signal comes from the check thread, and
// a QSignalSpy would record it there, racing the test that reads it.
struct FinishCounter
{
    explicit FinishCounter(VelmoraAuth& window)
    {
        QObject::connect(&window, &VelmoraAuth::keepAliveFinished, &receiver, [this] { ++count; });
    }
    QObject receiver;
    int count = 0;
};

} // namespace

// The window's check, at start, of a session stored by an earlier run.
class TestSessionCheck : public QObject
{
    Q_OBJECT

public:
    explicit TestSessionCheck(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void storedSessionIsRevivedWithoutALogin();
    void failedCheckLeavesTheLoginPage_data();
    void failedCheckLeavesTheLoginPage();
    void incompleteStoredSessionStartsNoCheck_data();
    void incompleteStoredSessionStartsNoCheck();
    void closingDuringASlowCheckDoesNotWaitForIt();
    void loginStartedDuringTheCheckWins_data();
    void loginStartedDuringTheCheckWins();
    void closingAtAnyStepOfACheckIsOrderly();
    void expiredSessionLogsInOnlyWithTheRememberedPassword_data();
    void expiredSessionLogsInOnlyWithTheRememberedPassword();

private:
    // What a successful login of an earlier run left in the store.
    void storeSessionOfEarlierRun();
    // The check starts inside the window's constructor; holding its answer back gives the test
    // time to watch for the end of it.
    void holdTheNextKeepAlive();

    IsolatedHome& m_home;
    std::unique_ptr<standin::StandInAppliance> m_appliance;
};

void TestSessionCheck::init()
{
    m_home.clearSettings();
    m_appliance = startAppliance({ { "127.0.0.1", 0, Scheme::https } });
}

void TestSessionCheck::cleanup()
{
    m_appliance.reset();
}

void TestSessionCheck::storeSessionOfEarlierRun()
{
    VelmoraAuth earlier;
    VelmoraAuthInspector inspect(earlier);
    inspect.setEndpoint("127.0.0.1", m_appliance->listeners().at(0).port, true);
    QVERIFY(earlier.login("ann", "secret"));
    m_appliance->clearRequestLog();
}

void TestSessionCheck::holdTheNextKeepAlive()
{
    m_appliance->injectFault(
        faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::milliseconds(1500)));
}

void TestSessionCheck::storedSessionIsRevivedWithoutALogin()
{
    storeSessionOfEarlierRun();
    holdTheNextKeepAlive();

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    FinishCounter finished(window);
    QCOMPARE(inspect.trayImage(), "busy"); // while the answer is held back
    QTRY_COMPARE_WITH_TIMEOUT(finished.count, 1, 10000);

    QTRY_COMPARE(inspect.ui().stackedWidget->currentIndex(), 2);
    QTRY_COMPARE(inspect.trayImage(), "connected");
    QVERIFY(inspect.isLoggedIn());
    QVERIFY(!inspect.isLoggedOut());
    QVERIFY(inspect.tickerEnabled());
    const auto requests = m_appliance->requestLog();
    QCOMPARE(requests.size(), size_t(1));
    QCOMPARE(requests[0].param("pageto"), "ka");
    QTRY_COMPARE(inspect.runningWorkerThreads(), 0);
}

void TestSessionCheck::failedCheckLeavesTheLoginPage_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("session expired") << "expired";
    QTest::newRow("appliance gone") << "gone";
    QTest::newRow("kicked out") << "kicked";
}

void TestSessionCheck::failedCheckLeavesTheLoginPage()
{
    QFETCH(QString, how);
    storeSessionOfEarlierRun();
    if (how == QLatin1String("expired"))
        m_appliance->expireSessions();
    else if (how == QLatin1String("kicked"))
        m_appliance->kickOut("ann");
    holdTheNextKeepAlive();

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    FinishCounter finished(window);
    if (how == QLatin1String("gone")) {
        // Gone while the check waits for its answer: the connection closes unanswered.
        QTRY_VERIFY(!m_appliance->requestLog().empty());
        m_appliance->stopListeners(standin::SessionsOnStop::lose);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.count, 1, 10000);
    QTRY_COMPARE(inspect.runningWorkerThreads(), 0);

    QTRY_COMPARE(inspect.trayImage(), "not-connected");
    QCOMPARE(inspect.ui().stackedWidget->currentIndex(), 0);
    QVERIFY(!inspect.isLoggedIn());
    QVERIFY(!inspect.tickerEnabled());
    QVERIFY(!inspect.userid().empty()); // the stored values stay in the members
}

void TestSessionCheck::incompleteStoredSessionStartsNoCheck_data()
{
    QTest::addColumn<QString>("blank");
    QTest::newRow("userid") << "keep_userid";
    QTest::newRow("username") << "keep_username";
    QTest::newRow("k1") << "keep_k1";
    QTest::newRow("address") << "keep_fixedIP";
}

void TestSessionCheck::incompleteStoredSessionStartsNoCheck()
{
    QFETCH(QString, blank);
    storeSessionOfEarlierRun();
    QVERIFY(storeValue(blank.toStdU16String(), ""));

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    FinishCounter finished(window);
    QCOMPARE(inspect.startedWorkerThreads(), 0);
    QTest::qWait(1500);
    QCOMPARE(finished.count, 0);
    QVERIFY(m_appliance->requestLog().empty());
    QCOMPARE(inspect.ui().stackedWidget->currentIndex(), 0);
}

void TestSessionCheck::closingDuringASlowCheckDoesNotWaitForIt()
{
    storeSessionOfEarlierRun();
    m_appliance->injectFault(
        faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::seconds(20)));

    QElapsedTimer timer;
    {
        VelmoraAuth window;
        QVERIFY(m_appliance->waitForRequests(1, std::chrono::seconds(10)));
        timer.start();
    }
    QVERIFY2(timer.elapsed() < 3000, "the request under way was cut off");
}

void TestSessionCheck::loginStartedDuringTheCheckWins_data()
{
    QTest::addColumn<bool>("expired");
    QTest::addColumn<QString>("password");
    QTest::newRow("check confirms the old session after a refused login") << false << "wrong";
    QTest::newRow("check finds it expired after the user logged in") << true << "secret";
}

void TestSessionCheck::loginStartedDuringTheCheckWins()
{
    QFETCH(bool, expired);
    QFETCH(QString, password);
    storeSessionOfEarlierRun();
    if (expired)
        m_appliance->expireSessions();
    m_appliance->injectFault(
        faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::milliseconds(2000)));

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    FinishCounter finished(window);
    ModalBoxes boxes;
    window.show();
    QVERIFY(m_appliance->waitForRequests(1, std::chrono::seconds(10))); // the check's keep-alive
    auto& ui = inspect.ui();
    QTest::keyClicks(ui.lineEdit_username, QStringLiteral("ann"));
    QTest::keyClicks(ui.lineEdit_password, password);
    QTest::mouseClick(ui.login, Qt::LeftButton);
    QTRY_VERIFY(ui.stackedWidget->isEnabled());
    const int userPage = ui.stackedWidget->currentIndex();
    const bool userLoggedIn = inspect.isLoggedIn();
    QCOMPARE(userLoggedIn, expired);

    QTRY_COMPARE_WITH_TIMEOUT(finished.count, 1, 10000);
    QTest::qWait(200); // for any page switch the check handed over

    QCOMPARE(ui.stackedWidget->currentIndex(), userPage);
    QCOMPARE(inspect.isLoggedIn(), userLoggedIn);
    QCOMPARE(inspect.tickerEnabled(), userLoggedIn);
    QCOMPARE(boxes.shown.size(), userLoggedIn ? 0 : 1);
    int logins = 0;
    for (const auto& request : m_appliance->requestLog())
        logins += request.param("pageto") == "c";
    QCOMPARE(logins, 1); // the user's, and no re-login by the check
    QCOMPARE(m_appliance->sessions().size(), size_t(1)); // the stored one, or the user's
}

void TestSessionCheck::closingAtAnyStepOfACheckIsOrderly()
{
    // Closed while the check starts its thread, connects, waits for its answer or reports: the
    // check thread ends before anything it touches goes (what ThreadSanitizer checks here).
    storeSessionOfEarlierRun();
    standin::FaultRule slow =
        faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::seconds(20));
    slow.times = standin::Times::untilCleared();
    m_appliance->injectFault(slow);
    for (int round = 0; round < 20; ++round) {
        QElapsedTimer timer;
        {
            VelmoraAuth window;
            QTest::qWait(round % 10 * 5);
            timer.start();
        }
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QStringLiteral("round %1").arg(round)));
    }
}

void TestSessionCheck::expiredSessionLogsInOnlyWithTheRememberedPassword_data()
{
    QTest::addColumn<QString>("rememberedName");
    QTest::addColumn<QString>("rememberedPassword");
    QTest::addColumn<bool>("loginSent");
    QTest::newRow("remembered for the session's name") << "ann"
                                                       << "secret" << true;
    QTest::newRow("nothing remembered") << ""
                                        << "" << false;
    QTest::newRow("remembered for another name") << "bob"
                                                 << "secret" << false;
}

void TestSessionCheck::expiredSessionLogsInOnlyWithTheRememberedPassword()
{
    // The run that revives a session never typed its password: the re-login after "Session
    // Expired" takes the remembered one, or sends nothing.
    QFETCH(QString, rememberedName);
    QFETCH(QString, rememberedPassword);
    QFETCH(bool, loginSent);
    storeSessionOfEarlierRun();
    if (!rememberedName.isEmpty()) {
        VelmoraAuth earlier;
        VelmoraAuthInspector(earlier).rememberCredentials(rememberedName.toStdString(),
                                                          rememberedPassword.toStdString());
    }
    m_appliance->expireSessions();
    m_appliance->clearRequestLog();

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    FinishCounter finished(window);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count, 1, 10000);
    QTRY_COMPARE(inspect.runningWorkerThreads(), 0);

    std::vector<std::string> passwords;
    for (const auto& request : m_appliance->requestLog()) {
        if (request.param("pageto") == "c")
            passwords.push_back(request.param("password").value_or("(none)"));
    }
    if (loginSent) {
        QCOMPARE(passwords, std::vector<std::string> { "secret" });
        QTRY_COMPARE(inspect.ui().stackedWidget->currentIndex(), 2);
        QVERIFY(inspect.isLoggedIn());
        QVERIFY(inspect.tickerEnabled());
    } else {
        QCOMPARE(passwords, std::vector<std::string> {});
        QCOMPARE(inspect.ui().stackedWidget->currentIndex(), 0);
        QVERIFY(!inspect.isLoggedIn());
        QVERIFY(inspect.isLoggedOut());
        QVERIFY(!inspect.tickerEnabled());
    }
}

VELMORA_TEST_MAIN(TestSessionCheck)
#include "TestSessionCheck.moc"
