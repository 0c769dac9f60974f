#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

using standin::Exchange;
using standin::Scheme;

// The logout exchange from the window against the stand-in appliance.
class TestLogoutExchange : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestLogoutExchange(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void confirmedLogoutResetsTheStoredSession_data();
    void confirmedLogoutResetsTheStoredSession();
    void failureReportsAndKeepsThePage_data();
    void failureReportsAndKeepsThePage();
};

void TestLogoutExchange::init()
{
    start({ { "127.0.0.1", 0, Scheme::http }, { "127.0.0.1", 0, Scheme::https } });
}

void TestLogoutExchange::cleanup()
{
    stop();
}

void TestLogoutExchange::confirmedLogoutResetsTheStoredSession_data()
{
    QTest::addColumn<int>("listener");
    QTest::addColumn<Qt::CheckState>("rememberMe"); // the typed password stays if ticked at all
    QTest::newRow("http, not remembered") << 0 << Qt::Unchecked;
    QTest::newRow("https, remembered") << 1 << Qt::Checked;
    QTest::newRow("https, partly ticked") << 1 << Qt::PartiallyChecked;
}

void TestLogoutExchange::confirmedLogoutResetsTheStoredSession()
{
    QFETCH(int, listener);
    QFETCH(Qt::CheckState, rememberMe);
    logIn(listener);
    const std::string userid = m_inspect->userid();
    auto& ui = m_inspect->ui();
    ui.remberMe->setTristate(true);
    ui.remberMe->setCheckState(rememberMe);
    ui.lineEdit_password->setText(QStringLiteral("secret"));
    const LogTail log(m_home.logFile());

    QVERIFY(m_window->logout());

    QVERIFY(m_appliance->sessions().empty());
    QVERIFY(m_inspect->isLoggedOut());
    QVERIFY(!m_inspect->isLoggedIn());
    QVERIFY(!m_inspect->tickerEnabled());
    QCOMPARE(ui.stackedWidget->currentIndex(), 0);
    QCOMPARE(ui.lineEdit_password->text().isEmpty(), rememberMe == Qt::Unchecked);
    QCOMPARE(m_inspect->userid(), userid); // only the stored copy is reset
    for (const char16_t* name : { u"keep_userid", u"keep_username", u"keep_k1", u"keep_fixedIP" })
        QCOMPARE(storedValue(name), "");
    QCOMPARE(storedValue(u"keep_fixedPort"), "1");
    QCOMPARE(storedValue(u"keepAlive_isHttps"), "1");

    const auto request = m_appliance->requestLog().at(0);
    QCOMPARE(
        request.target,
        "/index.php?pageto=fbo&operation=4&ms=kq52vnwpex317t9hmzol8&mes=kq52vnwpex317t9hmzol8");
    QCOMPARE(request.userAgent, "VelmoraApp/1.0.0 (Windows NT 10.0; Win64; x64; rv:89.0)");
    QVERIFY(log.hasLine(
        "info", listener ? "Hit the logout API with https" : "Hit the logout API with http"));
    QVERIFY(log.hasLine("info", "Successfully logout."));
}

void TestLogoutExchange::failureReportsAndKeepsThePage_data()
{
    QTest::addColumn<int>("status"); // 0: the appliance is gone
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("trace");
    // Only the bare word confirms; the body is the message, on one line in the log.
    const char* const bodies[][2] = { { "line break after it", "success\n" },
                                      { "json status", R"({"status":"success"})" },
                                      { "capital", "Success" },
                                      { "empty", "" } };
    for (const auto& [name, body] : bodies)
        QTest::newRow(name) << 200 << body << body
                            << QString(body).replace('\n', QLatin1String("\\x0A"));
    QTest::newRow("status 500") << 500 << "success"
                                << "Connection error"
                                << "Connection error:";
    const QString network = QStringLiteral(
        "Kindly check your network. We are not able to connect with Velmora Appliance.");
    QTest::newRow("appliance gone") << 0 << QString() << network << network;
}

void TestLogoutExchange::failureReportsAndKeepsThePage()
{
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(QString, message);
    QFETCH(QString, trace);
    logIn(1);
    m_inspect->ui().lineEdit_password->setText(QStringLiteral("secret"));
    if (status)
        m_appliance->scriptAnswer(scripted(Exchange::logout, status, body.toStdString()));
    else
        m_appliance->stopListeners(standin::SessionsOnStop::keep);
    const LogTail log(m_home.logFile());

    QVERIFY(!m_window->logout());

    QCOMPARE(QString::fromStdString(m_inspect->errorMessage()), message);
    QVERIFY(log.hasLine("error", trace));
    QVERIFY2(!m_inspect->tickerEnabled(),
             "the tick stays off even when the appliance did not answer");
    QVERIFY(m_inspect->isLoggedIn());
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 2);
    QVERIFY2(m_inspect->ui().lineEdit_password->text().isEmpty(), "not remembered: cleared");
    QCOMPARE(storedValue(u"keep_userid"), m_inspect->userid());
    QCOMPARE(storedValue(u"keep_k1"), m_inspect->k1());
}

VELMORA_TEST_MAIN(TestLogoutExchange)
#include "TestLogoutExchange.moc"
