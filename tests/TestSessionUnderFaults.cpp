#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

using standin::Exchange;
using standin::Fault;

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
    void init();
    void cleanup();
    void keepAliveSurvivesEveryFault_data();
    void keepAliveSurvivesEveryFault();
    void loginSurvivesEveryFault_data();
    void loginSurvivesEveryFault();
    void logoutSurvivesEveryFault_data();
    void logoutSurvivesEveryFault();
    void probeSurvivesEveryFault_data();
    void probeSurvivesEveryFault();
    void tickGoesOnWhileTheApplianceIsAway_data();
    void tickGoesOnWhileTheApplianceIsAway();

private:
    void faultRows();
    void logInRemembered();
    // The stored session, the remembered credentials and the flags as the login left them.
    void expectStoredSessionIntact();
};

void TestSessionUnderFaults::init()
{
    start();
}

void TestSessionUnderFaults::cleanup()
{
    stop();
}

void TestSessionUnderFaults::logInRemembered()
{
    QVERIFY(storeValue(u"username", "ann"));
    QVERIFY(storeValue(u"password", "secret"));
    QVERIFY(storeValue(u"rememberme", "Yes"));
    logIn();
}

void TestSessionUnderFaults::expectStoredSessionIntact()
{
    expectSessionIntact();
    QCOMPARE(storedValue(u"keep_userid"), m_userid);
    QCOMPARE(storedValue(u"keep_fixedIP"), "127.0.0.1");
    QCOMPARE(storedValue(u"username"), "ann");
    QCOMPARE(storedValue(u"password"), "secret");
    QCOMPARE(storedValue(u"rememberme"), "Yes");
}

void TestSessionUnderFaults::faultRows()
{
    QTest::addColumn<Fault>("kind");
    QTest::newRow("reset mid-answer") << Fault::resetMidAnswer;
    QTest::newRow("truncated body") << Fault::truncatedBody;
    QTest::newRow("10 MB body") << Fault::hugeBody; // cut off as it arrives
    QTest::newRow("failed TLS handshake") << Fault::failedHandshake;
}

void TestSessionUnderFaults::keepAliveSurvivesEveryFault_data()
{
    faultRows();
}

void TestSessionUnderFaults::keepAliveSurvivesEveryFault()
{
    QFETCH(Fault, kind);
    logInRemembered();
    m_inspect->setErrorMessage("");
    m_appliance->injectFault(faultOn(Exchange::keepAlive, kind));

    QVERIFY(!m_window->keepALive());

    QCOMPARE(m_inspect->errorMessage(), networkMessage);
    expectStoredSessionIntact();
    QVERIFY2(m_window->keepALive(), "the next tick keeps the session alive");
}

void TestSessionUnderFaults::loginSurvivesEveryFault_data()
{
    faultRows();
}

void TestSessionUnderFaults::loginSurvivesEveryFault()
{
    QFETCH(Fault, kind);
    logInRemembered();
    m_inspect->setErrorMessage("");
    m_appliance->injectFault(faultOn(Exchange::login, kind));

    QVERIFY(!m_window->login("ann", "secret"));

    QCOMPARE(m_inspect->errorMessage(), networkMessage);
    expectStoredSessionIntact();
}

void TestSessionUnderFaults::logoutSurvivesEveryFault_data()
{
    faultRows();
}

void TestSessionUnderFaults::logoutSurvivesEveryFault()
{
    QFETCH(Fault, kind);
    logInRemembered();
    m_appliance->injectFault(faultOn(Exchange::logout, kind));

    QVERIFY(!m_window->logout());

    QCOMPARE(m_inspect->errorMessage(), networkMessage);
    QVERIFY(!m_inspect->tickerEnabled());
    QCOMPARE(storedValue(u"keep_userid"), m_userid);
    QCOMPARE(storedValue(u"password"), "secret");
}

void TestSessionUnderFaults::probeSurvivesEveryFault_data()
{
    faultRows();
}

void TestSessionUnderFaults::probeSurvivesEveryFault()
{
    QFETCH(Fault, kind);
    m_inspect->setEndpoint("127.0.0.9", 9, true);
    m_appliance->injectFault(faultOn(Exchange::probe, kind));
    QVERIFY(!m_window->isVelmora("127.0.0.1", m_appliance->listeners().at(0).port));
    QCOMPARE(m_inspect->fixedIP(), "127.0.0.9");
    QVERIFY(m_window->isVelmora("127.0.0.1", m_appliance->listeners().at(0).port));
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
    logInRemembered();
    const auto keepAlives = [&] {
        int count = 0;
        for (const auto& request : m_appliance->requestLog())
            count += request.param("pageto") == "ka";
        return count;
    };

    // Slow answers first: the tick waits for them on the GUI thread and carries on.
    standin::FaultRule slow =
        faultOn(Exchange::keepAlive, Fault::slowAnswer, std::chrono::milliseconds(2500));
    m_appliance->injectFault(slow);
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
        QVERIFY(m_inspect->isLoggedIn());
        QVERIFY(m_inspect->tickerEnabled());
        QCOMPARE(storedValue(u"keep_userid"), m_inspect->userid());
        QCOMPARE(storedValue(u"password"), "secret");
    }
}

VELMORA_TEST_MAIN(TestSessionUnderFaults)
#include "TestSessionUnderFaults.moc"
