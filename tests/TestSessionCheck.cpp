#include "support/ModalBoxes.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

using standin::Exchange;

// The window's check, at start, of a session stored by an earlier run.
class TestSessionCheck : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestSessionCheck(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init() { start(Show::hidden); }
    void cleanup() { stop(); }
    void checkRevivesTheSessionOrLeavesTheLoginPage_data();
    void checkRevivesTheSessionOrLeavesTheLoginPage();
    void incompleteStoredSessionStartsNoCheck_data();
    void incompleteStoredSessionStartsNoCheck();
    void loginStartedDuringTheCheckWins_data();
    void loginStartedDuringTheCheckWins();
    void closingAtAnyStepOfACheckIsOrderlyAndQuick();

private:
    // The check starts inside the window's constructor; holding its answer back gives the test
    // time to watch for the end of it.
    void holdTheNextKeepAlive(std::chrono::milliseconds delay = std::chrono::milliseconds(1500))
    {
        m_appliance->injectFault(faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, delay));
    }
};

void TestSessionCheck::checkRevivesTheSessionOrLeavesTheLoginPage_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("rememberedName");
    QTest::addColumn<bool>("connected");
    QTest::newRow("session alive") << "alive"
                                   << "" << true;
    QTest::newRow("appliance gone") << "gone"
                                    << "" << false;
    QTest::newRow("kicked out") << "kicked"
                                << "" << false;
    // The run that revives a session never typed its password: the re-login after "Session
    // Expired" takes the remembered one, or sends nothing.
    QTest::newRow("expired, nothing remembered") << "expired"
                                                 << "" << false;
    QTest::newRow("expired, remembered for its name") << "expired"
                                                      << "ann" << true;
    QTest::newRow("expired, remembered for another name") << "expired"
                                                          << "bob" << false;
}

void TestSessionCheck::checkRevivesTheSessionOrLeavesTheLoginPage()
{
    QFETCH(QString, how);
    QFETCH(QString, rememberedName);
    QFETCH(bool, connected);
    earlierRun(rememberedName.toStdString());
    if (how == QLatin1String("expired"))
        m_appliance->expireSessions();
    else if (how == QLatin1String("kicked"))
        m_appliance->kickOut("ann");
    holdTheNextKeepAlive();

    startWindow(Show::hidden);
    QCOMPARE(m_inspect->trayImage(), "busy"); // while the answer is held back
    if (how == QLatin1String("gone")) {
        // Gone while the check waits for its answer: the connection closes unanswered.
        QTRY_VERIFY(!m_appliance->requestLog().empty());
        m_appliance->stopListeners(standin::SessionsOnStop::lose);
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_inspect->startedWorkerThreads(), 0, 10000);

    QTRY_COMPARE(page(), connected ? 2 : 0);
    QTRY_COMPARE(m_inspect->trayImage(), connected ? "connected" : "not-connected");
    QCOMPARE(m_inspect->isLoggedIn(), connected);
    QCOMPARE(m_inspect->tickerEnabled(), connected);
    if (connected || how == QLatin1String("expired"))
        QCOMPARE(m_inspect->isLoggedOut(), !connected);
    QVERIFY(!m_inspect->userid().empty()); // the stored values stay in the members
    QCOMPARE(m_appliance->requestLog().front().param("pageto"), "ka");
    if (how == QLatin1String("alive"))
        QCOMPARE(m_appliance->requestLog().size(), size_t(1)); // the check's keep-alive alone
    QCOMPARE(loginPasswords(),
             std::vector<std::string>(how == QLatin1String("expired") && connected, "secret"));
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
    earlierRun();
    QVERIFY(storeValue(blank.toStdU16String(), ""));

    startWindow(Show::hidden);
    QCOMPARE(m_inspect->startedWorkerThreads(), 0);
    QVERIFY(m_inspect->guiStepsDone());
    QVERIFY(m_appliance->requestLog().empty());
    QCOMPARE(page(), 0);
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
    earlierRun();
    if (expired)
        m_appliance->expireSessions();
    holdTheNextKeepAlive(std::chrono::milliseconds(2000));

    ModalBoxes boxes;
    startWindow();
    QVERIFY(m_appliance->waitForRequests(1, std::chrono::seconds(10))); // the check's keep-alive
    QTest::keyClicks(ui().lineEdit_username, QStringLiteral("ann"));
    QTest::keyClicks(ui().lineEdit_password, password);
    click(ui().login);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    const int userPage = page();
    QCOMPARE(m_inspect->isLoggedIn(), expired); // the user's login went through

    QTRY_COMPARE_WITH_TIMEOUT(m_inspect->startedWorkerThreads(), 0, 10000);
    QVERIFY(m_inspect->guiStepsDone()); // any page switch the check handed over

    QCOMPARE(page(), userPage);
    QCOMPARE(m_inspect->isLoggedIn(), expired);
    QCOMPARE(m_inspect->tickerEnabled(), expired);
    QCOMPARE(boxes.shown.size(), expired ? 0 : 1);
    QCOMPARE(logins(), 1); // the user's, and no re-login by the check
    QCOMPARE(m_appliance->sessions().size(), size_t(1)); // the stored one, or the user's
}

void TestSessionCheck::closingAtAnyStepOfACheckIsOrderlyAndQuick()
{
    earlierRun();
    standin::FaultRule slow =
        faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::seconds(20));
    slow.times = standin::Times::untilCleared();
    m_appliance->injectFault(slow);

    startWindow(Show::hidden);
    QVERIFY(m_appliance->waitForRequests(1, std::chrono::seconds(10)));
    QVERIFY2(closeWindow() < 3000, "the request under way was cut off");

    // Closed while the check starts its thread, connects, waits for its answer or reports: the
    // check thread ends before anything it touches goes (what ThreadSanitizer checks here).
    for (int round = 0; round < 20; ++round) {
        startWindow(Show::hidden);
        QTest::qWait(round % 10 * 5);
        QVERIFY2(closeWindow() < 2000, qPrintable(QStringLiteral("round %1").arg(round)));
    }
}

VELMORA_TEST_MAIN(TestSessionCheck)
#include "TestSessionCheck.moc"
