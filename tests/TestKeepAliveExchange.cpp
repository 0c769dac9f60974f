#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

using standin::Exchange;

// The keep-alive exchange and its recovery, from the window against the stand-in appliance.
class TestKeepAliveExchange : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestKeepAliveExchange(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void loggedOutSendsNothing();
    void confirmedSessionChangesNothing();
    void expiredSessionLogsInAgain();
    void expiredSessionWhoseReloginGetsNoAnswerEndsTheSession();
    void expiredSessionIsJudgedOnWhatTheRefusedReloginSaid_data();
    void expiredSessionIsJudgedOnWhatTheRefusedReloginSaid();
    void appliancesEndOfTheSessionEndsItHere_data();
    void appliancesEndOfTheSessionEndsItHere();
    void otherReasonEndsTheSessionButKeepsLoggedIn_data();
    void otherReasonEndsTheSessionButKeepsLoggedIn();
    void kickedWithoutSessionEndTextChangesNothing();
    void applianceAwayKeepsTheTickGoing();
    void malformedAnswerChangesNothing_data();
    void malformedAnswerChangesNothing();
};

void TestKeepAliveExchange::init()
{
    start();
}

void TestKeepAliveExchange::cleanup()
{
    stop();
}

void TestKeepAliveExchange::loggedOutSendsNothing()
{
    logIn();
    m_inspect->setFlags(true, true);
    const LogTail log(m_home.logFile());
    QVERIFY(!m_window->keepALive());
    QVERIFY(m_appliance->requestLog().empty());
    QVERIFY(log.lines().isEmpty());
}

void TestKeepAliveExchange::confirmedSessionChangesNothing()
{
    logIn();
    const LogTail log(m_home.logFile());
    QVERIFY(m_window->keepALive());
    expectSessionIntact();
    QCOMPARE(log.count(QStringLiteral("[error]")), 0);
    QVERIFY(log.hasLine("info", "hit keepalive API with https"));
    const auto request = m_appliance->requestLog().at(0);
    QCOMPARE(request.target,
             "/index.php?pageto=ka&ms=kq52vnwpex317t9hmzol8&mes=kq52vnwpex317t9hmzol8&u="
                 + m_inspect->userid() + "&username=ann&k1=" + m_inspect->k1());
    QCOMPARE(request.userAgent, "VelmoraApp/1.0.0 (Windows NT 10.0; Win64; x64; rv:89.0)");
}

void TestKeepAliveExchange::expiredSessionLogsInAgain()
{
    logIn();
    m_appliance->expireSessions();
    const LogTail log(m_home.logFile());

    QVERIFY(m_window->keepALive());

    QVERIFY(log.hasLine("error", "\"Session Expired\""));
    QVERIFY(log.hasLine("error", "Try to login when session expired keepalive"));
    const auto requests = m_appliance->requestLog();
    QCOMPARE(requests.size(), size_t(2));
    QCOMPARE(requests[1].param("pageto"), "c");
    QCOMPARE(requests[1].param("password"), "secret"); // the password of the last login
    QVERIFY(m_inspect->userid() != m_userid);
    QCOMPARE(storedValue(u"keep_userid"), m_inspect->userid());
    expectConnected();
    QVERIFY(m_window->keepALive()); // the new session is the one kept alive
}

void TestKeepAliveExchange::expiredSessionWhoseReloginGetsNoAnswerEndsTheSession()
{
    logIn();
    m_appliance->expireSessions();
    standin::FaultRule cut;
    cut.fault = standin::Fault::resetMidAnswer;
    cut.exchange = Exchange::login;
    m_appliance->injectFault(cut);

    QVERIFY(!m_window->keepALive());

    QCOMPARE(m_inspect->errorMessage(), "\"Session Expired\"");
    QVERIFY(!m_inspect->tickerEnabled());
    QVERIFY(m_inspect->isLoggedOut());
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 0);
}

void TestKeepAliveExchange::expiredSessionIsJudgedOnWhatTheRefusedReloginSaid_data()
{
    QTest::addColumn<QString>("reloginRefusal");
    QTest::addColumn<bool>("ended"); // else left as it was
    QTest::newRow("a session-end text ends it, logged in no more")
        << "Your account is blocked by administrator" << true;
    QTest::newRow("a kicked text alone leaves it") << "You were kicked" << false;
}

void TestKeepAliveExchange::expiredSessionIsJudgedOnWhatTheRefusedReloginSaid()
{
    QFETCH(QString, reloginRefusal);
    QFETCH(bool, ended);
    logIn();
    m_appliance->expireSessions();
    m_appliance->scriptAnswer(
        scripted(Exchange::login, 200, refusal(reloginRefusal.toStdString())));

    QVERIFY(!m_window->keepALive());

    QCOMPARE(logins(), 1); // the re-login was tried
    QCOMPARE(m_inspect->isLoggedIn(), !ended);
    QCOMPARE(m_inspect->isLoggedOut(), ended);
    QCOMPARE(m_inspect->tickerEnabled(), !ended);
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), ended ? 0 : 2);
}

void TestKeepAliveExchange::appliancesEndOfTheSessionEndsItHere_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("message");
    QTest::newRow("kicked out") << "kick"
                                << "\"You have been kicked out by the administrator\"";
    QTest::newRow("daily logout") << "daily"
                                  << "";
    QTest::newRow("blocked") << "block"
                             << "";
}

void TestKeepAliveExchange::appliancesEndOfTheSessionEndsItHere()
{
    QFETCH(QString, how);
    QFETCH(QString, message);
    logIn();
    if (how == QLatin1String("kick"))
        m_appliance->kickOut("ann");
    else if (how == QLatin1String("daily"))
        m_appliance->dailyLogout();
    else
        m_appliance->blockUser("ann");

    QVERIFY(!m_window->keepALive());

    QVERIFY(!m_inspect->tickerEnabled());
    QVERIFY(!m_inspect->isLoggedIn());
    QVERIFY(m_inspect->isLoggedOut());
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 0);
    const QString shown = QString::fromStdString(m_inspect->errorMessage());
    QVERIFY2(shown.startsWith(QLatin1Char('"')) && shown.endsWith(QLatin1Char('"')),
             qPrintable(shown));
    if (!message.isEmpty())
        QCOMPARE(shown, message);
    QCOMPARE(m_appliance->requestLog().size(), size_t(1)); // no login tried
}

void TestKeepAliveExchange::otherReasonEndsTheSessionButKeepsLoggedIn_data()
{
    QTest::addColumn<QString>("reason");
    QTest::newRow("unknown reason") << "Quota exhausted";
    QTest::newRow("expired inside a longer text") << "Your Session Expired today";
}

void TestKeepAliveExchange::otherReasonEndsTheSessionButKeepsLoggedIn()
{
    QFETCH(QString, reason);
    logIn();
    m_appliance->scriptAnswer(scripted(Exchange::keepAlive, 200, refusal(reason.toStdString())));
    const LogTail log(m_home.logFile());

    QVERIFY(!m_window->keepALive());

    QCOMPARE(QString::fromStdString(m_inspect->errorMessage()), "\"" + reason + "\"");
    QVERIFY(m_inspect->isLoggedOut());
    QVERIFY(!m_inspect->tickerEnabled());
    QVERIFY2(m_inspect->isLoggedIn(), "left as it was");
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 0);
    QCOMPARE(m_appliance->requestLog().size(), size_t(1)); // no login tried
    QVERIFY(!log.contains(QStringLiteral("Try to login when session expired keepalive")));
}

void TestKeepAliveExchange::kickedWithoutSessionEndTextChangesNothing()
{
    logIn();
    m_appliance->scriptAnswer(scripted(Exchange::keepAlive, 200, refusal("You were kicked")));
    QVERIFY(!m_window->keepALive());
    expectSessionIntact();
    QVERIFY(m_window->keepALive()); // the next tick sends the next keep-alive
}

void TestKeepAliveExchange::applianceAwayKeepsTheTickGoing()
{
    logIn();
    m_appliance->stopListeners(standin::SessionsOnStop::keep);
    const LogTail log(m_home.logFile());

    QVERIFY(!m_window->keepALive());

    QVERIFY(log.hasLine("info", "Try to login when login failed."));
    QVERIFY(log.hasLine(
        "error", "Kindly check your network. We are not able to connect with Velmora Appliance."));
    expectSessionIntact();
    m_appliance->startListeners();
    QVERIFY2(m_window->keepALive(), "the appliance kept the session");
}

void TestKeepAliveExchange::malformedAnswerChangesNothing_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("trace");
    QTest::newRow("500") << 500 << R"({"status":"success"})"
                         << "Connection error";
    QTest::newRow("302") << 302 << ""
                         << "Connection error";
    QTest::newRow("no status") << 200 << "{}"
                               << "keepalive json doesn't contain status";
    QTest::newRow("not json") << 200 << "<html>"
                              << "keepalive json doesn't contain status";
    QTest::newRow("status not text") << 200 << R"({"status":true})"
                                     << "keepalive json['stattus'] data type is not string";
    QTest::newRow("no errors") << 200 << R"({"status":"fail"})"
                               << "keepalive json doesn't contain error";
    QTest::newRow("errors not text") << 200 << R"({"status":"fail","errors":1})"
                                     << "keepalive json['error'] data type is not string";
}

void TestKeepAliveExchange::malformedAnswerChangesNothing()
{
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(QString, trace);
    logIn();
    m_inspect->setErrorMessage("");
    m_appliance->scriptAnswer(scripted(Exchange::keepAlive, status, body.toStdString()));
    const LogTail log(m_home.logFile());

    QVERIFY(!m_window->keepALive());

    QVERIFY(log.hasLine("error", trace));
    expectSessionIntact();
    QCOMPARE(m_inspect->errorMessage(), status == 200 ? "" : "Connection error");
}

VELMORA_TEST_MAIN(TestKeepAliveExchange)
#include "TestKeepAliveExchange.moc"
