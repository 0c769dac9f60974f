#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

using standin::Exchange;
using standin::Scheme;

namespace {

const char successBody[] = R"({"status":"success","data":{"userid":7,"username":"ann","k1":99}})";

} // namespace

// The login exchange from the window against the stand-in appliance.
class TestLoginExchange : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestLoginExchange(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void acceptedLoginOpensAndStoresTheSession_data();
    void acceptedLoginOpensAndStoresTheSession();
    void valuesGoAndComeBackAsText();
    void unusableSuccessAnswer_data();
    void unusableSuccessAnswer();
    void refusalEndsTheSessionOnlyWithASessionEndText_data();
    void refusalEndsTheSessionOnlyWithASessionEndText();
    void noSessionWithoutAnAnswerOf200_data();
    void noSessionWithoutAnAnswerOf200();
};

void TestLoginExchange::init()
{
    start({ { "127.0.0.1", 0, Scheme::http }, { "127.0.0.1", 0, Scheme::https } },
          { { "ann", "secret", false }, { "a&b=c", "p&w=+%x y#z", false }, { "bob", "pw", true } });
}

void TestLoginExchange::cleanup()
{
    stop();
}

void TestLoginExchange::acceptedLoginOpensAndStoresTheSession_data()
{
    QTest::addColumn<int>("listener");
    QTest::newRow("http") << 0;
    QTest::newRow("https, self-signed") << 1;
}

void TestLoginExchange::acceptedLoginOpensAndStoresTheSession()
{
    QFETCH(int, listener);
    pointAt(listener);
    const LogTail log(m_home.logFile());
    QByteArray console;
    {
        StdoutCapture capture;
        QVERIFY(m_window->login("ann", "secret"));
        console = capture.text();
    }

    const auto sessions = m_appliance->sessions();
    QCOMPARE(sessions.size(), size_t(1));
    QCOMPARE(m_inspect->userid(), std::to_string(sessions[0].userid));
    QCOMPARE(m_inspect->username(), "ann");
    QCOMPARE(m_inspect->k1(), std::to_string(sessions[0].k1));
    QCOMPARE(m_inspect->loginPassword(), "secret");
    QVERIFY(m_inspect->isLoggedIn());
    QVERIFY(!m_inspect->isLoggedOut());
    QVERIFY(m_inspect->tickerEnabled());
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 2);

    const auto where = m_appliance->listeners().at(listener);
    QCOMPARE(storedValue(u"keep_userid"), m_inspect->userid());
    QCOMPARE(storedValue(u"keep_username"), "ann");
    QCOMPARE(storedValue(u"keep_k1"), m_inspect->k1());
    QCOMPARE(storedValue(u"keep_fixedIP"), "127.0.0.1");
    QCOMPARE(storedValue(u"keep_fixedPort"), std::to_string(where.port));
    QCOMPARE(storedValue(u"keepAlive_isHttps"), listener == 1 ? "1" : "0");

    const auto requests = m_appliance->requestLog();
    QCOMPARE(requests.size(), size_t(1));
    QCOMPARE(requests[0].target,
             "/index.php?pageto=c&ms=kq52vnwpex317t9hmzol8&mes=kq52vnwpex317t9hmzol8"
             "&fixeduserid=ann&loginMethod=6&password=secret&portal=1&stage=9");
    QCOMPARE(requests[0].userAgent, "VelmoraApp/1.0.0 (Windows NT 10.0; Win64; x64; rv:89.0)");
    QVERIFY(log.hasLine("info",
                        listener == 1
                            ? "Hit the login API with https: username=ann, password=*******"
                            : "Hit the login API with http: username=ann, password=********"));
    QVERIFY(log.hasLine("info", "Response code of Login API:200"));
    QVERIFY(log.hasLine("info", "Start keep alive thread."));
    // The password reaches neither the console nor the log.
    QVERIFY2(console.contains("fixeduserid=ann&loginMethod=6&password=********"),
             console.constData());
    QVERIFY(!console.contains("secret"));
    QVERIFY(!log.contains("secret"));
}

void TestLoginExchange::valuesGoAndComeBackAsText()
{
    // The query carries the values as typed.
    pointAt(1);
    QVERIFY2(m_window->login("a&b=c", "p&w=+%x y#z"), "the appliance matched the decoded values");
    const auto request = m_appliance->requestLog().at(0);
    QVERIFY(
        QByteArray::fromStdString(request.target)
            .contains(
                "&fixeduserid=a%26b%3Dc&loginMethod=6&password=p%26w%3D%2B%25x%20y%23z&portal=1"));
    QCOMPARE(request.query.size(), size_t(8)); // no parameter added or cut
    QCOMPARE(request.param("password"), "p&w=+%x y#z");
    QCOMPARE(request.param("fixeduserid"), "a&b=c");

    // The session values come back as the JSON text the appliance sent.
    m_appliance->scriptAnswer(
        scripted(Exchange::login, 200,
                 R"({"status":"success","data":{"userid":12.5,"username":"an\"n","k1":99}})"));
    QVERIFY(m_window->login("ann", "secret"));
    QCOMPARE(m_inspect->userid(), "12.5");
    QCOMPARE(m_inspect->username(), "an\\\"n");
    QCOMPARE(storedValue(u"keep_username"), "an\\\"n");
}

void TestLoginExchange::unusableSuccessAnswer_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("trace");
    QTest::addColumn<bool>("logoutSent");
    const QString data = QStringLiteral(R"({"status":"success","data":)");
    // A row for each way the exchange ends on an unusable answer; every rule of the reader has a
    // row of its own in TestPortalAnswers.
    QTest::newRow("no data") << R"({"status":"success"})"
                             << "Json doesn't conatain any data" << true;
    QTest::newRow("username of 60000 bytes") << data + R"({"userid":7,"username":")"
            + QString(60000, QLatin1Char('a')) + R"(","k1":99}})"
                                             << "Data type of username is not string" << true;
    QTest::newRow("no userid") << data + R"({"username":"ann","k1":99}})"
                               << "json data doesn't contain any userid" << false;
    QTest::newRow("no status") << R"({"data":{}})"
                               << "JSON doesn't contain status." << false;
    QTest::newRow("errors list") << R"({"status":"fail","errors":["x"]})"
                                 << "Data type of error is not string." << false;
}

void TestLoginExchange::unusableSuccessAnswer()
{
    QFETCH(QString, body);
    QFETCH(QString, trace);
    QFETCH(bool, logoutSent);
    pointAt(1);
    m_inspect->setSession("1", "old", "2");
    m_inspect->setErrorMessage("");
    m_inspect->setTickerEnabled(true);
    m_appliance->scriptAnswer(scripted(Exchange::login, 200, body.toStdString()));
    const LogTail log(m_home.logFile());

    QVERIFY(!m_window->login("ann", "secret"));

    QVERIFY(log.hasLine("error", trace));
    QCOMPARE(m_inspect->userid(), "1");
    QCOMPARE(m_inspect->username(), "old");
    QCOMPARE(m_inspect->k1(), "2");
    QCOMPARE(storedValue(u"keep_userid"), "<missing>");
    const auto requests = m_appliance->requestLog();
    QCOMPARE(requests.size(), size_t(logoutSent ? 2 : 1));
    if (logoutSent) {
        QCOMPARE(requests[1].param("pageto"), "fbo");
        QVERIFY2(!m_inspect->tickerEnabled(), "the logout switched the tick off");
        // The stand-in holds no session for this address, and says so.
        QCOMPARE(m_inspect->errorMessage(), "You are not logged in");
    } else {
        QVERIFY(m_inspect->tickerEnabled());
        QCOMPARE(m_inspect->errorMessage(), "");
    }
}

void TestLoginExchange::refusalEndsTheSessionOnlyWithASessionEndText_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("scriptedError"); // empty: the stand-in's own refusal
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("ends");
    QTest::addColumn<bool>("remembered");
    // A session-end text ends the session and is shown as it is; "remembered" rows tick
    // "Remember me".
    const char* const rows[][5] = {
        { "blocked account", "bob", "pw", "", "Your account is blocked by administrator" },
        { "kicked out", "ann", "pw", "You were kicked out", "You were kicked out" },
        { "daily logout, remembered", "ann", "pw", "Daily Logout at 23:00",
          "Daily Logout at 23:00" },
        // Any other refusal is shown quoted, and changes nothing.
        { "wrong password", "ann", "wrong", "", "\"Invalid username or password\"" },
        { "session-end text in another case", "ann", "secret", "KICKED OUT", "\"KICKED OUT\"" },
        { "quotation marks escaped", "ann", "secret", R"(say "hi")", R"("say \"hi\"")" },
    };
    for (const auto& row : rows) {
        const bool ends = row[4][0] != '"';
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << QString(row[3])
                              << QString(row[4]) << ends
                              << QByteArray(row[0]).endsWith("remembered");
    }
}

void TestLoginExchange::refusalEndsTheSessionOnlyWithASessionEndText()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, scriptedError);
    QFETCH(QString, message);
    QFETCH(bool, ends);
    QFETCH(bool, remembered);
    pointAt(1);
    if (!scriptedError.isEmpty())
        m_appliance->scriptAnswer(
            scripted(Exchange::login, 200, refusal(scriptedError.toStdString())));
    auto& ui = m_inspect->ui();
    ui.stackedWidget->setCurrentIndex(2);
    ui.lineEdit_password->setText(QStringLiteral("typed"));
    ui.remberMe->setChecked(remembered);
    m_inspect->setFlags(true, false);
    m_inspect->setTickerEnabled(true);

    QVERIFY(!m_window->login(user.toStdString(), password.toStdString()));

    QCOMPARE(QString::fromStdString(m_inspect->errorMessage()), message);
    QCOMPARE(m_inspect->tickerEnabled(), !ends);
    QCOMPARE(m_inspect->isLoggedOut(), ends);
    QCOMPARE(ui.stackedWidget->currentIndex(), ends ? 0 : 2);
    QCOMPARE(ui.lineEdit_password->text(),
             ends && !remembered ? QString() : QStringLiteral("typed"));
    if (!ends)
        QVERIFY(m_inspect->isLoggedIn());
}

void TestLoginExchange::noSessionWithoutAnAnswerOf200_data()
{
    QTest::addColumn<int>("status"); // 0: no answer
    QTest::addColumn<bool>("https");
    QTest::addColumn<bool>("refusedPort");
    QTest::newRow("500 with a success body") << 500 << true << false;
    QTest::newRow("302 is not followed") << 302 << true << false;
    QTest::newRow("201") << 201 << true << false;
    QTest::newRow("refused, http") << 0 << false << true;
    QTest::newRow("refused, https") << 0 << true << true;
    QTest::newRow("https against plain http") << 0 << true << false;
}

void TestLoginExchange::noSessionWithoutAnAnswerOf200()
{
    QFETCH(int, status);
    QFETCH(bool, https);
    QFETCH(bool, refusedPort);
    const int port =
        refusedPort ? refusedLoopbackPort() : m_appliance->listeners().at(status ? 1 : 0).port;
    m_inspect->setEndpoint("127.0.0.1", port, https);
    if (status)
        m_appliance->scriptAnswer(
            scripted(Exchange::any, status, successBody, standin::Times::n(2)));
    const LogTail log(m_home.logFile());
    QElapsedTimer timer;
    timer.start();

    QVERIFY(!m_window->login("ann", "secret"));

    QVERIFY2(timer.elapsed() < 5000, "a refusal on loopback fails fast");
    const QString network = QStringLiteral(
        "Kindly check your network. We are not able to connect with Velmora Appliance.");
    QCOMPARE(QString::fromStdString(m_inspect->errorMessage()),
             status ? QStringLiteral("Connection error") : network);
    QVERIFY(log.hasLine("error",
                        status ? QStringLiteral("Connection Error: not getting proper response")
                               : network));
    QVERIFY(m_appliance->sessions().empty());
    QCOMPARE(m_inspect->userid(), "");
    if (status) {
        QVERIFY(log.hasLine("info", "Response code of Login API:" + QString::number(status)));
        QCOMPARE(m_appliance->requestLog().size(), size_t(1));
    }
}

VELMORA_TEST_MAIN(TestLoginExchange)
#include "TestLoginExchange.moc"
