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
    void refusalIsJudgedOnItsText_data();
    void refusalIsJudgedOnItsText();
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

void TestKeepAliveExchange::refusalIsJudgedOnItsText_data()
{
    QTest::addColumn<QString>("how"); // the stand-in's own end of the session, or a refusal
    QTest::addColumn<QString>("relogin"); // after "Session Expired": "reset" or a refusal
    QTest::addColumn<QString>("outcome"); // "ended", "stopped" (still logged in) or "kept"
    QTest::addColumn<QString>("message"); // empty: any quoted text
    const char* const rows[][5] = {
        { "kicked out", "kick", "", "ended", "\"You have been kicked out by the administrator\"" },
        { "daily logout", "daily", "", "ended", "" },
        { "blocked", "block", "", "ended", "" },
        { "unknown reason", "Quota exhausted", "", "stopped", "\"Quota exhausted\"" },
        { "expired inside a longer text", "Your Session Expired today", "", "stopped",
          "\"Your Session Expired today\"" },
        { "kicked without a session-end text", "You were kicked", "", "kept", "" },
        { "expired, the re-login gets no answer", "Session Expired", "reset", "stopped",
          "\"Session Expired\"" },
        { "expired, the re-login refused with a session-end text", "Session Expired",
          "Your account is blocked by administrator", "ended", "" },
        { "expired, the re-login refused as kicked", "Session Expired", "You were kicked", "kept",
          "" },
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << QString(row[3])
                              << QString(row[4]);
}

void TestKeepAliveExchange::refusalIsJudgedOnItsText()
{
    QFETCH(QString, how);
    QFETCH(QString, relogin);
    QFETCH(QString, outcome);
    QFETCH(QString, message);
    logIn();
    if (how == QLatin1String("kick"))
        m_appliance->kickOut("ann");
    else if (how == QLatin1String("daily"))
        m_appliance->dailyLogout();
    else if (how == QLatin1String("block"))
        m_appliance->blockUser("ann");
    else if (how == QLatin1String("Session Expired"))
        m_appliance->expireSessions();
    else
        m_appliance->scriptAnswer(scripted(Exchange::keepAlive, 200, refusal(how.toStdString())));
    if (relogin == QLatin1String("reset"))
        m_appliance->injectFault(faultOn(Exchange::login, standin::Fault::resetMidAnswer));
    else if (!relogin.isEmpty())
        m_appliance->scriptAnswer(scripted(Exchange::login, 200, refusal(relogin.toStdString())));
    const LogTail log(m_home.logFile());

    QVERIFY(!m_window->keepALive());

    // A re-login only after "Session Expired"; nothing else goes out.
    const bool expired = !relogin.isEmpty();
    QCOMPARE(m_appliance->requestLog().size(), size_t(expired ? 2 : 1));
    QCOMPARE(logins(), expired ? 1 : 0);
    QCOMPARE(log.contains(QStringLiteral("Try to login when session expired keepalive")), expired);
    if (outcome == QLatin1String("kept")) {
        expectSessionIntact();
        QVERIFY(m_window->keepALive()); // the next tick sends the next keep-alive
        return;
    }
    QVERIFY(!m_inspect->tickerEnabled());
    QVERIFY(m_inspect->isLoggedOut());
    QCOMPARE(m_inspect->isLoggedIn(), outcome == QLatin1String("stopped"));
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 0);
    const QString shown = QString::fromStdString(m_inspect->errorMessage());
    QVERIFY2(shown.startsWith(QLatin1Char('"')) && shown.endsWith(QLatin1Char('"')),
             qPrintable(shown));
    if (!message.isEmpty())
        QCOMPARE(shown, message);
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
