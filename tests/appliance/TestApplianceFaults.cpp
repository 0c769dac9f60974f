#include "ApplianceTestSupport.h"

#include <QtTest>

#include <future>

using namespace appliancetest;
using standin::Fault;
using standin::Scheme;

// The unreliable appliance: each fault as a client sees it, and an outage with and without
// the sessions kept.
class TestApplianceFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ignoreBrokenPipes(); }
    void init();
    void cleanup();

    void resetMidAnswerLeavesNoResponse();
    void truncatedBodyLeavesNoResponse();
    void hugeBodyArrivesWhole();
    void slowAnswerOutlastsAnImpatientClientAndArrivesAfterTheDelay();
    void failedHandshakeLeavesNoResponse();
    void plainHttpWhereHttpsIsExpectedLeavesNoResponse();
    void requestsThatAreNotHttpGetBadRequest_data();
    void requestsThatAreNotHttpGetBadRequest();
    void outageKeepsOrLosesSessions_data();
    void outageKeepsOrLosesSessions();
    void stoppingCutsPendingAnswersAtOnce();
    void hostileAnswersAreWhatTheyClaim();

private:
    standin::ListenAddress https() const { return m_appliance->listeners().at(0); }
    standin::ListenAddress http() const { return m_appliance->listeners().at(1); }

    std::unique_ptr<standin::StandInAppliance> m_appliance;
};

void TestApplianceFaults::init()
{
    standin::Options options;
    options.listeners = { { "127.0.0.5", 0, Scheme::https }, { "127.0.0.5", 0, Scheme::http } };
    options.accounts = { { "ann", "secret" } };
    m_appliance = std::make_unique<standin::StandInAppliance>(options);
}

void TestApplianceFaults::cleanup()
{
    m_appliance.reset();
}

void TestApplianceFaults::resetMidAnswerLeavesNoResponse()
{
    m_appliance->injectFault({ .fault = Fault::resetMidAnswer, .times = standin::Times::n(3) });
    QVERIFY(!clientFor(https())->Get("/isvelmora.php"));
    QVERIFY(!clientFor(http())->Get("/isvelmora.php"));

    const RawExchange raw = rawExchange(http(), rawGet(loginTarget("ann", "secret")));
    QVERIFY(raw.received.starts_with("HTTP/1.1 200 OK\r\n"));
    QCOMPARE(raw.endError, ECONNRESET);

    QCOMPARE(m_appliance->requestLog().at(0).treatment, std::string("reset"));
    QCOMPARE(clientFor(https())->Get("/isvelmora.php")->body, std::string("velmora"));
}

void TestApplianceFaults::truncatedBodyLeavesNoResponse()
{
    m_appliance->injectFault({ .fault = Fault::truncatedBody, .times = standin::Times::n(2) });
    QVERIFY(!clientFor(https())->Get("/isvelmora.php"));

    const RawExchange raw = rawExchange(http(), rawGet("/isvelmora.php"));
    QCOMPARE(raw.endError, 0); // closed in order, just too soon
    QVERIFY(raw.received.find("Content-Length: 107\r\n") != std::string::npos);
    QCOMPARE(bodyOf(raw), std::string("velmora"));
}

void TestApplianceFaults::hugeBodyArrivesWhole()
{
    m_appliance->injectFault({ .fault = Fault::hugeBody, .exchange = standin::Exchange::probe });
    const auto result = clientFor(https(), 20s)->Get("/isvelmora.php");
    QVERIFY(result);
    QCOMPARE(result->status, 200);
    QCOMPARE(result->body.size(), standin::hugeBodySize);
    QVERIFY(result->body.find_first_not_of('x') == std::string::npos);
}

void TestApplianceFaults::slowAnswerOutlastsAnImpatientClientAndArrivesAfterTheDelay()
{
    m_appliance->injectFault(
        { .fault = Fault::slowAnswer, .times = standin::Times::n(2), .delay = 1500ms });
    QVERIFY(!clientFor(https(), 1s)->Get("/isvelmora.php"));
    // The request was seen, though its answer never arrived.
    QCOMPARE(m_appliance->requestLog().at(0).treatment, std::string("slow"));

    QElapsedTimer timer;
    timer.start();
    const auto result = clientFor(https())->Get(loginTarget("ann", "secret").c_str());
    QVERIFY(result);
    QVERIFY(timer.elapsed() >= 1500);
    QCOMPARE(sessionValuesOf(result->body).username, std::string("ann"));
    QCOMPARE(clientFor(https())->Get("/isvelmora.php")->status, 200);
}

void TestApplianceFaults::failedHandshakeLeavesNoResponse()
{
    m_appliance->injectFault({ .fault = Fault::failedHandshake, .listener = 0 });
    const auto result = clientFor(https())->Get("/isvelmora.php");
    QVERIFY(!result);
    QVERIFY(result.error() == httplib::Error::SSLConnection);

    const auto log = m_appliance->requestLog();
    QCOMPARE(log.size(), std::size_t(1));
    QCOMPARE(log[0].treatment, std::string("failed-handshake"));
    QVERIFY(log[0].target.empty());
    QCOMPARE(clientFor(https())->Get("/isvelmora.php")->status, 200);
}

void TestApplianceFaults::plainHttpWhereHttpsIsExpectedLeavesNoResponse()
{
    standin::ListenAddress disguised = http();
    disguised.scheme = Scheme::https;
    QVERIFY(!clientFor(disguised)->Get("/isvelmora.php"));
    QVERIFY(m_appliance->waitForRequests(1, 2s));
    QCOMPARE(m_appliance->requestLog().at(0).treatment, std::string("unreadable"));
    QCOMPARE(clientFor(http())->Get("/isvelmora.php")->body, std::string("velmora"));
}

void TestApplianceFaults::requestsThatAreNotHttpGetBadRequest_data()
{
    QTest::addColumn<std::string>("request");
    QTest::addColumn<std::string>("statusLine");

    const std::string bad = "HTTP/1.1 400 Bad Request";
    QTest::newRow("TLS hello") << std::string("\x16\x03\x01\x00\x05hello") << bad;
    QTest::newRow("no version") << std::string("GET /isvelmora.php\r\n\r\n") << bad;
    QTest::newRow("lower-case method") << std::string("get /isvelmora.php HTTP/1.1\r\n\r\n") << bad;
    QTest::newRow("absolute target")
        << std::string("GET http://a/isvelmora.php HTTP/1.1\r\n\r\n") << bad;
    QTest::newRow("space in target") << std::string("GET /is velmora.php HTTP/1.1\r\n\r\n") << bad;
    QTest::newRow("header without colon") << std::string("GET / HTTP/1.1\r\nHost\r\n\r\n") << bad;
    QTest::newRow("head over 16 KiB")
        << "GET /isvelmora.php HTTP/1.1\r\nX: " + std::string(17000, 'a') + "\r\n\r\n"
        << bad;
    QTest::newRow("head cut short")
        << std::string("GET /isvelmora.php HTTP/1.1\r\nHost: a\r\n") << bad;
    QTest::newRow("POST") << std::string(
        "POST /isvelmora.php HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                          << std::string("HTTP/1.1 405 Method Not Allowed");
    QTest::newRow("HTTP/1.0") << std::string("GET /isvelmora.php HTTP/1.0\r\n\r\n")
                              << std::string("HTTP/1.1 200 OK");
}

void TestApplianceFaults::requestsThatAreNotHttpGetBadRequest()
{
    QFETCH(std::string, request);
    QFETCH(std::string, statusLine);
    const RawExchange raw = rawExchange(http(), request, "127.0.0.1", true);
    QVERIFY2(raw.received.starts_with(statusLine + "\r\n"), raw.received.substr(0, 40).c_str());
    QCOMPARE(raw.endError, 0);
    QCOMPARE(clientFor(http())->Get("/isvelmora.php")->status, 200);
}

void TestApplianceFaults::outageKeepsOrLosesSessions_data()
{
    QTest::addColumn<bool>("keep");
    QTest::addColumn<std::string>("answerAfterwards");
    QTest::newRow("sessions kept") << true << success;
    QTest::newRow("sessions lost") << false << expired;
}

void TestApplianceFaults::outageKeepsOrLosesSessions()
{
    QFETCH(bool, keep);
    QFETCH(std::string, answerAfterwards);
    const auto before = m_appliance->listeners();
    const SessionValues session =
        sessionValuesOf(clientFor(https())->Get(loginTarget("ann", "secret").c_str())->body);

    m_appliance->stopListeners(keep ? standin::SessionsOnStop::keep
                                    : standin::SessionsOnStop::lose);
    QVERIFY(!m_appliance->listening());
    const auto refused = clientFor(before[0])->Get("/isvelmora.php");
    QVERIFY(!refused);
    QVERIFY(refused.error() == httplib::Error::Connection);

    m_appliance->startListeners();
    QVERIFY(m_appliance->listening());
    QCOMPARE(m_appliance->listeners()[0].port, before[0].port);
    QCOMPARE(m_appliance->listeners()[1].port, before[1].port);
    const auto answer = clientFor(before[0])->Get(
        keepAliveTarget(session.userid, session.username, session.k1).c_str());
    QVERIFY(answer);
    QCOMPARE(answer->body, answerAfterwards);
}

void TestApplianceFaults::stoppingCutsPendingAnswersAtOnce()
{
    m_appliance->injectFault(
        { .fault = Fault::slowAnswer, .times = standin::Times::untilCleared(), .delay = 20s });
    const auto where = https();
    auto pending = std::async(std::launch::async, [where] {
        return static_cast<bool>(clientFor(where, 30s)->Get("/isvelmora.php"));
    });
    // A connection that never says anything must not hold the stop up either.
    const auto idle = std::async(std::launch::async, [this] { return rawExchange(http(), ""); });
    QVERIFY(m_appliance->waitForRequests(1, 5s));

    QElapsedTimer timer;
    timer.start();
    m_appliance->stopListeners(standin::SessionsOnStop::keep);
    QVERIFY2(timer.elapsed() < 1500, QByteArray::number(timer.elapsed()));
    QVERIFY(!pending.get());
    QVERIFY(idle.wait_for(2s) == std::future_status::ready);
}

void TestApplianceFaults::hostileAnswersAreWhatTheyClaim()
{
    // Compressed: a client that decompresses (httplib's default) reads the usual page.
    m_appliance->injectFault({ .fault = Fault::compressed });
    const auto packed = clientFor(http())->Get("/isvelmora.php");
    QVERIFY(packed);
    QCOMPARE(packed->get_header_value("Content-Encoding"), std::string("gzip"));
    QCOMPARE(packed->body, std::string("velmora"));

    // Echo: the target as it came on the wire, as the whole body of a plain-text answer.
    m_appliance->injectFault({ .fault = Fault::echo });
    QCOMPARE(bodyOf(rawExchange(http(), rawGet("/isvelmora.php?a=%41"))),
             std::string("/isvelmora.php?a=%41"));
    m_appliance->injectFault({ .fault = Fault::echo });
    const auto refused =
        nlohmann::json::parse(bodyOf(rawExchange(http(), rawGet(loginTarget("ann", "pa%20ss")))));
    QCOMPARE(refused.at("errors").get<std::string>(), loginTarget("ann", "pa%20ss"));

    // Dripped: whole, a byte per interval.
    m_appliance->injectFault({ .fault = Fault::dripFed, .delay = 100ms });
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(bodyOf(rawExchange(http(), rawGet("/isvelmora.php"))), std::string("velmora"));
    QVERIFY(timer.elapsed() >= 650);

    // A long reason phrase, then the usual answer.
    m_appliance->injectFault({ .fault = Fault::longStatusLine, .size = 100 });
    const RawExchange longLine = rawExchange(http(), rawGet("/isvelmora.php"));
    QVERIFY(longLine.received.starts_with("HTTP/1.1 200 " + std::string(100, 'a') + "\r\n"));
    QCOMPARE(bodyOf(longLine), std::string("velmora"));
    QCOMPARE(m_appliance->requestLog().back().treatment, std::string("long-status-line"));
}

QTEST_GUILESS_MAIN(TestApplianceFaults)
#include "TestApplianceFaults.moc"
