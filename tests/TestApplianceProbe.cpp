#include "support/PortalTestSupport.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

using standin::Exchange;
using standin::Scheme;

// The probe of one address and port, against the stand-in on the appliance's own ports.
class TestApplianceProbe : public QObject
{
    Q_OBJECT

public:
    explicit TestApplianceProbe(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void markerPageMakesTheEndpoint_data();
    void markerPageMakesTheEndpoint();
    void anythingElseIsRefused_data();
    void anythingElseIsRefused();
    void noAnswerIsReportedFastAndKeepsTheEndpoint();
    void portBeyondTheRangeIsNeverContacted_data();
    void portBeyondTheRangeIsNeverContacted();

private:
    IsolatedHome& m_home;
    std::unique_ptr<standin::StandInAppliance> m_appliance;
    std::unique_ptr<VelmoraAuth> m_window;
};

void TestApplianceProbe::initTestCase()
{
    // The appliance's own ports; 127.0.0.3 serves plain HTTP where HTTPS is expected.
    m_appliance = startAppliance({ { "127.0.0.2", 8090, Scheme::https },
                                   { "127.0.0.2", 443, Scheme::https },
                                   { "127.0.0.2", 80, Scheme::http },
                                   { "127.0.0.3", 8090, Scheme::http } });
    m_window = std::make_unique<VelmoraAuth>();
}

void TestApplianceProbe::init()
{
    m_appliance->clearScripts();
    m_appliance->clearRequestLog();
    VelmoraAuthInspector(*m_window).setEndpoint("127.0.0.9", 1234, true);
}

void TestApplianceProbe::cleanupTestCase()
{
    m_window.reset();
    m_appliance.reset();
}

void TestApplianceProbe::markerPageMakesTheEndpoint_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("https");
    QTest::newRow("8090 over https") << 8090 << true;
    QTest::newRow("443, self-signed") << 443 << true;
    QTest::newRow("80 over plain http") << 80 << false;
}

void TestApplianceProbe::markerPageMakesTheEndpoint()
{
    QFETCH(int, port);
    QFETCH(bool, https);
    const LogTail log(m_home.logFile());
    QVERIFY(m_window->isVelmora("127.0.0.2", port));

    VelmoraAuthInspector inspect(*m_window);
    QCOMPARE(inspect.fixedIP(), "127.0.0.2");
    QCOMPARE(inspect.fixedPort(), port);
    QCOMPARE(inspect.isHttps(), https);
    const auto request = m_appliance->requestLog().at(0);
    QCOMPARE(request.target, "/isvelmora.php");
    QCOMPARE(request.listener.scheme, https ? Scheme::https : Scheme::http);
    QCOMPARE(request.userAgent, "cpp-httplib/0.11.4"); // the client's own, not the portal's
    const QString url =
        (https ? QStringLiteral("https://127.0.0.2:") : QStringLiteral("http://127.0.0.2:"))
        + QString::number(port) + QStringLiteral("/isvelmora.php");
    QVERIFY(log.hasLine(
        "info",
        (https ? "Hit isVelmora.php with https request: " : "Hit isVelmora.php with http request: ")
            + url));
    QVERIFY(log.hasLine("info",
                        "Successfully connected to velmora with ip: 127.0.0.2 and port "
                            + QString::number(port) + "and fixed ip address and port address"));
}

void TestApplianceProbe::anythingElseIsRefused_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("trace");
    const auto row = [](const char* title, int status, QString body, QString trace) {
        QTest::newRow(title) << status << body << trace;
    };
    row("line break after the word", 200, "velmora\n", "");
    row("capital letter", 200, "Velmora", "");
    row("empty page", 200, "", "");
    row("redirect not followed", 302, "velmora", "Error with response code: 302");
    row("server error", 500, "velmora", "Error with response code: 500");
}

void TestApplianceProbe::anythingElseIsRefused()
{
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(QString, trace);
    QVERIFY(m_window->isVelmora("127.0.0.2", 443)); // an earlier accepted endpoint
    m_appliance->scriptAnswer(scripted(Exchange::probe, status, body.toStdString()));
    const LogTail log(m_home.logFile());

    QVERIFY(!m_window->isVelmora("127.0.0.2", 8090));

    VelmoraAuthInspector inspect(*m_window);
    QCOMPARE(inspect.fixedPort(), 443);
    QVERIFY(inspect.isHttps());
    QCOMPARE(m_appliance->requestLog().size(), size_t(2)); // the redirect was not followed
    if (!trace.isEmpty())
        QVERIFY(log.hasLine("error", trace));
    else
        QCOMPARE(log.count(QStringLiteral("[error]")), 0);
}

void TestApplianceProbe::noAnswerIsReportedFastAndKeepsTheEndpoint()
{
    const LogTail log(m_home.logFile());
    QVERIFY(!m_window->isVelmora("127.0.0.3", 8090)); // plain HTTP where HTTPS is expected
    QVERIFY(log.hasLine("error", "Not gettring any response"));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!m_window->isVelmora("127.0.0.4", 443));
    QVERIFY(!m_window->isVelmora("127.0.0.2", 0));
    QVERIFY(!m_window->isVelmora("127.0.0.2", -1));
    QVERIFY(timer.elapsed() < 3000);
    QCOMPARE(VelmoraAuthInspector(*m_window).fixedIP(), "127.0.0.9");
    QCOMPARE(VelmoraAuthInspector(*m_window).fixedPort(), 1234);
}

void TestApplianceProbe::portBeyondTheRangeIsNeverContacted_data()
{
    // Each would reach a port of the stand-in if it were cut to 16 bits.
    QTest::addColumn<int>("port");
    QTest::newRow("65616, 80 in 16 bits") << 65616;
    QTest::newRow("73626, 8090 in 16 bits") << 73626;
    QTest::newRow("65979, 443 in 16 bits") << 65979;
}

void TestApplianceProbe::portBeyondTheRangeIsNeverContacted()
{
    QFETCH(int, port);
    const LogTail log(m_home.logFile());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!m_window->isVelmora("127.0.0.2", port));
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(m_appliance->requestLog().empty());
    QVERIFY(log.hasLine(
        "error", "No request sent: the port " + QString::number(port) + " is outside 1 to 65535."));
    QVERIFY(log.hasLine("error", "Not gettring any response"));
    QCOMPARE(VelmoraAuthInspector(*m_window).fixedPort(), 1234);
}

VELMORA_TEST_MAIN(TestApplianceProbe)
#include "TestApplianceProbe.moc"
