#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

using standin::Exchange;
using standin::Fault;

Q_DECLARE_METATYPE(Exchange)
Q_DECLARE_METATYPE(Fault)

namespace {

const char networkMessage[] =
    "Kindly check your network. We are not able to connect with Velmora Appliance.";

} // namespace

// What a misbehaving network or appliance does to a session, exchange by exchange: the program
// keeps running, each exchange ends the way it does for that kind of failure, and what is stored
// is not touched by a failure.
class TestSessionUnderFaults : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestSessionUnderFaults(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init() { start(); }
    void cleanup() { stop(); }
    void everyExchangeSurvivesEveryFault_data();
    void everyExchangeSurvivesEveryFault();
    void tickGoesOnWhileTheApplianceIsAway_data();
    void tickGoesOnWhileTheApplianceIsAway();

private:
    // The stored session, the remembered credentials and the flags as the login left them.
    void expectStoredSessionIntact();
};

void TestSessionUnderFaults::expectStoredSessionIntact()
{
    expectSessionIntact();
    QCOMPARE(storedValue(u"keep_userid"), m_userid);
    QCOMPARE(storedValue(u"keep_fixedIP"), "127.0.0.1");
    QCOMPARE(storedValue(u"username"), "ann");
    QCOMPARE(storedValue(u"password"), "secret");
    QCOMPARE(storedValue(u"rememberme"), "Yes");
}

void TestSessionUnderFaults::everyExchangeSurvivesEveryFault_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<Fault>("kind");
    const std::pair<const char*, Exchange> exchanges[] = { { "keep-alive", Exchange::keepAlive },
                                                           { "login", Exchange::login },
                                                           { "logout", Exchange::logout },
                                                           { "probe", Exchange::probe } };
    const std::pair<const char*, Fault> faults[] = {
        { "reset mid-answer", Fault::resetMidAnswer },
        { "truncated body", Fault::truncatedBody },
        { "10 MB body", Fault::hugeBody }, // cut off as it arrives
        { "failed TLS handshake", Fault::failedHandshake },
    };
    for (const auto& [exchangeName, exchange] : exchanges) {
        for (const auto& [faultName, fault] : faults)
            QTest::addRow("%s, %s", exchangeName, faultName) << exchange << fault;
    }
}

void TestSessionUnderFaults::everyExchangeSurvivesEveryFault()
{
    QFETCH(Exchange, exchange);
    QFETCH(Fault, kind);
    const std::uint16_t port = m_appliance->listeners().at(0).port;
    if (exchange == Exchange::probe) {
        // A failed probe leaves the endpoint as it was.
        m_inspect->setEndpoint("127.0.0.9", 9, true);
        m_appliance->injectFault(faultOn(exchange, kind));
        QVERIFY(!m_window->isVelmora("127.0.0.1", port));
        QCOMPARE(m_inspect->fixedIP(), "127.0.0.9");
        QVERIFY(m_window->isVelmora("127.0.0.1", port));
        return;
    }
    storeRemembered();
    logIn();
    m_inspect->setErrorMessage("");
    m_appliance->injectFault(faultOn(exchange, kind));

    QVERIFY(!(exchange == Exchange::keepAlive   ? m_window->keepALive()
                  : exchange == Exchange::login ? m_window->login("ann", "secret")
                                                : m_window->logout()));

    QCOMPARE(m_inspect->errorMessage(), networkMessage);
    if (exchange == Exchange::logout) {
        QVERIFY(!m_inspect->tickerEnabled());
        QCOMPARE(storedValue(u"keep_userid"), m_userid);
        QCOMPARE(storedValue(u"password"), "secret");
        return;
    }
    expectStoredSessionIntact();
    if (exchange == Exchange::keepAlive)
        QVERIFY2(m_window->keepALive(), "the next tick keeps the session alive");
}

void TestSessionUnderFaults::tickGoesOnWhileTheApplianceIsAway_data()
{
    QTest::addColumn<bool>("keptSessions");
    QTest::newRow("appliance that kept the session") << true;
    QTest::newRow("appliance that lost it") << false;
}

void TestSessionUnderFaults::tickGoesOnWhileTheApplianceIsAway()
{
    QFETCH(bool, keptSessions);
    storeRemembered();
    logIn();

    // Slow answers first: the ticks wait for them and carry on.
    m_appliance->injectFault(
        faultOn(Exchange::keepAlive, Fault::slowAnswer, std::chrono::milliseconds(2500)));
    QTRY_VERIFY_WITH_TIMEOUT(keepAlives() >= 2, 20000);
    expectStoredSessionIntact();

    // Away for two ticks or more: nothing reaches it, the tick stays on.
    const LogTail log(m_home.logFile());
    m_appliance->stopListeners(keptSessions ? standin::SessionsOnStop::keep
                                            : standin::SessionsOnStop::lose);
    QTRY_VERIFY_WITH_TIMEOUT(log.count(QString::fromLatin1(networkMessage)) >= 2, 20000);
    expectStoredSessionIntact();

    m_appliance->clearRequestLog();
    m_appliance->startListeners();
    QTRY_VERIFY_WITH_TIMEOUT(keepAlives() >= 2, 20000);
    if (keptSessions) {
        expectStoredSessionIntact(); // the same session goes on
        QCOMPARE(m_appliance->requestLog().front().param("u"), m_userid);
    } else {
        // "Session Expired" for the lost session: logged in again with the same credentials.
        QTRY_VERIFY(m_inspect->userid() != m_userid);
        expectConnected();
        QCOMPARE(storedValue(u"keep_userid"), m_inspect->userid());
        QCOMPARE(storedValue(u"password"), "secret");
    }
}

VELMORA_TEST_MAIN(TestSessionUnderFaults)
#include "TestSessionUnderFaults.moc"
