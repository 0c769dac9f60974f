#include "support/PortalTestSupport.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include <QFile>
#include <QTemporaryDir>

using standin::Scheme;

namespace {

// Three loopback hosts on the appliance's ports: two gateways and a remembered endpoint.
const char gateway1[] = "127.0.0.2";
const char gateway2[] = "127.0.0.3";
const char remembered[] = "127.0.0.4";
const char typed[] = "127.0.0.5";

std::vector<standin::ListenAddress> hostsOnApplianceTcpPorts()
{
    std::vector<standin::ListenAddress> listeners;
    for (const char* host : { gateway1, gateway2, remembered, typed }) {
        listeners.push_back({ host, 8090, Scheme::https });
        listeners.push_back({ host, 443, Scheme::https });
        listeners.push_back({ host, 80, Scheme::http });
        listeners.push_back({ host, 8080, Scheme::https });
    }
    return listeners;
}

} // namespace

// Which candidates the address and port search probes, in which order, and where it stops.
// Every listener answers the probe; only the one a case names answers with the marker page, so
// the stand-in's request log shows every candidate tried.
class TestAddressSearch : public QObject
{
    Q_OBJECT

public:
    explicit TestAddressSearch(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void candidatesAreProbedInOrder_data();
    void candidatesAreProbedInOrder();
    void emptyGatewayListFindsNothingWithoutAProbe();
    void refusingGatewaysFailFast();
    void everyAddressIsProbedInItsCanonicalForm_data();
    void everyAddressIsProbedInItsCanonicalForm();

private:
    // Only host:port serves the marker page; every other listener answers something else.
    void acceptOnlyAt(const QString& accepting);
    QStringList probedInOrder() const;

    IsolatedHome& m_home;
    QTemporaryDir m_files;
    std::unique_ptr<standin::StandInAppliance> m_appliance;
};

void TestAddressSearch::initTestCase()
{
    m_appliance = startAppliance(hostsOnApplianceTcpPorts());
}

void TestAddressSearch::init()
{
    m_appliance->clearScripts();
    m_appliance->clearRequestLog();
}

void TestAddressSearch::cleanupTestCase()
{
    m_appliance.reset();
}

void TestAddressSearch::acceptOnlyAt(const QString& accepting)
{
    const auto listeners = m_appliance->listeners();
    for (std::size_t i = 0; i < listeners.size(); ++i) {
        const QString where = QString::fromStdString(listeners[i].address) + QLatin1Char(':')
            + QString::number(listeners[i].port);
        if (where == accepting)
            continue;
        auto rule = scripted(standin::Exchange::probe, 200, "not the appliance",
                             standin::Times::untilCleared());
        rule.listener = i;
        m_appliance->scriptAnswer(rule);
    }
}

QStringList TestAddressSearch::probedInOrder() const
{
    QStringList order;
    for (const auto& request : m_appliance->requestLog()) {
        order << QString::fromStdString(request.listener.address) + QLatin1Char(':')
                + QString::number(request.listener.port)
                + (request.listener.scheme == Scheme::https ? QStringLiteral("/s") : QString());
    }
    return order;
}

void TestAddressSearch::candidatesAreProbedInOrder_data()
{
    QTest::addColumn<bool>("ipBox");
    QTest::addColumn<bool>("portBox");
    QTest::addColumn<QString>("rememberedEndpoint");
    QTest::addColumn<int>("typedPort");
    QTest::addColumn<QString>("accepting");
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<bool>("traced");

    // Hosts by role (g1, g2, rem, typ); "/s" marks a probe over https.
    const auto row = [](const char* title, bool ipBox, bool portBox, QString remembered,
                        int typedPort, QString accepting, QString order, bool traced) {
        for (QString* text : { &remembered, &accepting, &order }) {
            text->replace("g1", gateway1).replace("g2", gateway2);
            text->replace("rem", QLatin1String(::remembered)).replace("typ", typed);
        }
        QTest::newRow(title) << ipBox << portBox << remembered << typedPort << accepting
                             << order.split(' ', Qt::SkipEmptyParts) << traced;
    };
    row("both boxes, remembered answers", true, true, "rem:443", 0, "rem:443", "rem:443/s", false);
    row("both boxes, remembered refused, gateway answers on 443", true, true, "rem:8090", 0,
        "g1:443", "rem:8090/s g1:8090/s g1:443/s", true);
    row("both boxes, nothing remembered, gateway answers on 80 only", true, true, "", 0, "g1:80",
        "g1:8090/s g1:443/s g1:80", true);
    row("both boxes, nothing answers: 1 + 3 x 2 probes", true, true, "rem:80", 0, "",
        "rem:80 g1:8090/s g1:443/s g1:80 g2:8090/s g2:443/s g2:80", true);
    row("both boxes, remembered address again as a gateway", true, true, "g1:443", 0, "g2:8090",
        "g1:443/s g1:8090/s g1:443/s g1:80 g2:8090/s", true);
    row("address box only: every gateway on the typed port, over https", true, false, "rem:443",
        8080, "", "g1:8080/s g2:8080/s", true);
    row("address box only, second gateway answers", true, false, "", 8080, "g2:8080",
        "g1:8080/s g2:8080/s", true);
    row("port box only: typed address on the default ports", false, true, "rem:443", 0, "typ:80",
        "typ:8090/s typ:443/s typ:80", false);
    row("neither box: exactly one probe", false, false, "rem:443", 8080, "", "typ:8080/s", false);
}

void TestAddressSearch::candidatesAreProbedInOrder()
{
    QFETCH(bool, ipBox);
    QFETCH(bool, portBox);
    QFETCH(QString, rememberedEndpoint);
    QFETCH(int, typedPort);
    QFETCH(QString, accepting);
    QFETCH(QStringList, order);
    QFETCH(bool, traced);

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    const QString traceMarker = m_files.filePath(QStringLiteral("traced"));
    QFile::remove(traceMarker);
    inspect.setGatewayTraceCommand("touch '" + traceMarker.toStdString()
                                   + "'; printf 'traceroute to 8.8.8.8, 2 hops max\\n 1  "
                                   + gateway1 + "  0.2 ms\\n 2  " + gateway2 + "  0.9 ms\\n'");
    const QStringList endpoint = rememberedEndpoint.split(QLatin1Char(':'));
    if (!rememberedEndpoint.isEmpty())
        inspect.setEndpoint(endpoint[0].toStdString(), endpoint[1].toInt(), true);
    acceptOnlyAt(accepting);

    const bool found = window.findIpAndPort(ipBox, portBox, typed, typedPort);

    QCOMPARE(probedInOrder(), order);
    QCOMPARE(found, !accepting.isEmpty());
    QCOMPARE(QFile::exists(traceMarker), traced);
    if (found) {
        const QStringList accepted = accepting.split(QLatin1Char(':'));
        QCOMPARE(QString::fromStdString(inspect.fixedIP()), accepted[0]);
        QCOMPARE(inspect.fixedPort(), accepted[1].toInt());
        QCOMPARE(inspect.isHttps(), accepted[1] != QLatin1String("80"));
    } else {
        // Nothing accepted: the endpoint stays as it was.
        QCOMPARE(QString::fromStdString(inspect.fixedIP()),
                 rememberedEndpoint.isEmpty() ? QString() : endpoint[0]);
        QVERIFY(inspect.isHttps());
    }
    // The search itself only records the remembered endpoint's probe.
    const bool probedRemembered = ipBox && portBox && !rememberedEndpoint.isEmpty();
    QCOMPARE(inspect.isConnectedVelmora(), probedRemembered && accepting == rememberedEndpoint);
}

void TestAddressSearch::emptyGatewayListFindsNothingWithoutAProbe()
{
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    inspect.setGatewayTraceCommand("printf 'traceroute to 8.8.8.8, 2 hops max\\n 1  * * *\\n'");
    const LogTail log(m_home.logFile());

    QVERIFY(!window.findIpAndPort(true, true, "", 0));

    QVERIFY(m_appliance->requestLog().empty());
    QVERIFY(log.hasLine("info", "start traceroute and getting gateway ip address"));
    QVERIFY(
        log.hasLine("info", "Hit the isVelmora with gateway ip address and default port address"));
}

void TestAddressSearch::refusingGatewaysFailFast()
{
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    // Nothing listens on these two hosts: every port refuses the connection.
    inspect.setGatewayTraceCommand("printf 'traceroute to 8.8.8.8, 2 hops max\\n 1  127.0.0.6  0.2 "
                                   "ms\\n 2  127.0.0.7  0.4 ms\\n'");
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!window.findIpAndPort(true, true, "", 0));
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
}

void TestAddressSearch::everyAddressIsProbedInItsCanonicalForm_data()
{
    QTest::addColumn<QString>("source"); // typed, traced or remembered
    QTest::addColumn<QString>("spelling");
    QTest::addColumn<QString>("probed"); // empty: nothing
    const auto row = [](const char* title, QString source, QString spelling, QString probed) {
        QTest::newRow(title) << source << spelling << probed;
    };
    // Leading zeros mean nothing: 010 is ten. The system's resolver reads them as octal, 010 as
    // eight, and takes the other spellings below for 127.0.0.8 as well.
    row("typed, leading zeros", "typed", "127.000.000.010", "127.0.0.10:8090");
    row("traced, leading zeros", "traced", "127.000.000.010", "127.0.0.10:8090");
    row("remembered, leading zeros", "remembered", "127.000.000.010", "127.0.0.10:8090");
    row("typed, hexadecimal", "typed", "0x7f.0.0.0x8", "");
    row("typed, a single number", "typed", "2130706440", "");
    row("typed, three parts", "typed", "127.0.8", "");
    row("traced, four digits", "traced", "127.0.0.0010", "");
}

void TestAddressSearch::everyAddressIsProbedInItsCanonicalForm()
{
    QFETCH(QString, source);
    QFETCH(QString, spelling);
    QFETCH(QString, probed);
    const auto decimalAndOctal = startAppliance(
        { { "127.0.0.10", 8090, Scheme::https }, { "127.0.0.8", 8090, Scheme::https } });
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    const std::string hop = source == QStringLiteral("traced") ? spelling.toStdString() : "*";
    inspect.setGatewayTraceCommand("printf 'traceroute to 8.8.8.8, 2 hops max\\n 1  " + hop
                                   + "  0.2 ms\\n'");
    if (source == QStringLiteral("remembered"))
        inspect.setEndpoint(spelling.toStdString(), 8090, true);
    const LogTail log(m_home.logFile());

    const bool typed = source == QStringLiteral("typed");
    const bool found =
        window.findIpAndPort(!typed, typed ? false : source != QStringLiteral("traced"),
                             typed ? spelling.toStdString() : "", 8090);

    QStringList seen;
    for (const auto& request : decimalAndOctal->requestLog())
        seen << QString::fromStdString(request.listener.address) + QLatin1Char(':')
                + QString::number(request.listener.port);
    QCOMPARE(seen, probed.isEmpty() ? QStringList() : QStringList { probed });
    QCOMPARE(found, !probed.isEmpty());
    if (found) {
        QCOMPARE(inspect.fixedIP(), "127.0.0.10");
        QVERIFY(log.hasLine("info", "start check isVelmora with ip 127.0.0.10 and port 8090"));
        QCOMPARE(log.count(QStringLiteral("000.010")), 0);
    } else {
        QCOMPARE(inspect.fixedIP(), "");
        QVERIFY(log.hasLine("error",
                            "Not an IPv4 address of four decimal numbers from 0 to 255: "
                            "nothing is sent"));
    }
}

VELMORA_TEST_MAIN(TestAddressSearch)
#include "TestAddressSearch.moc"
