#include "ApplianceTestSupport.h"

#include <QtTest>

using namespace appliancetest;
using standin::Scheme;

// The portal exchanges as the stand-in answers them on its own: accounts, sessions and their
// endings, the logout by address, and what a malformed portal request gets.
class TestApplianceSessions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loginAnswersByAccount_data();
    void loginAnswersByAccount();
    void eachLoginGetsANewUseridAndAPositiveK1();
    void newLoginReplacesTheUsersOldSession();
    void keepAliveRestartsTheIdleTimer();
    void keepAliveAfterTheLifetimeSaysSessionExpiredOnce();
    void keepAliveWithValuesOfNoSessionLeavesSessionsAlone();
    void operatorEndsASession_data();
    void operatorEndsASession();
    void logoutEndsTheSessionsOfTheRequestingAddress();
    void malformedPortalRequestsGetBadRequest_data();
    void malformedPortalRequestsGetBadRequest();
    void otherPathsGetNotFound();

private:
    standin::ListenAddress https() const { return m_appliance->listeners().at(0); }
    std::string get(const std::string& target) const;
    SessionValues login(const std::string& user, const std::string& password) const;
    std::string keepAlive(const SessionValues& session) const;

    std::unique_ptr<standin::StandInAppliance> m_appliance;
};

void TestApplianceSessions::init()
{
    standin::Options options;
    options.listeners = { { "127.0.0.1", 0, Scheme::https }, { "127.0.0.1", 0, Scheme::http } };
    options.accounts = { { "ann", "secret" }, { "bob", "pw", true }, { "cy", "pw2" } };
    m_appliance = std::make_unique<standin::StandInAppliance>(options);
}

void TestApplianceSessions::cleanup()
{
    m_appliance.reset();
}

std::string TestApplianceSessions::get(const std::string& target) const
{
    const auto result = clientFor(https())->Get(target.c_str());
    if (!result)
        return "no response: " + httplib::to_string(result.error());
    return result->body;
}

SessionValues TestApplianceSessions::login(const std::string& user,
                                           const std::string& password) const
{
    return sessionValuesOf(get(loginTarget(user, password)));
}

std::string TestApplianceSessions::keepAlive(const SessionValues& session) const
{
    return get(keepAliveTarget(session.userid, session.username, session.k1));
}

void TestApplianceSessions::loginAnswersByAccount_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char* title, QString user, QString password, QString errors) {
        QTest::newRow(title) << user << password
                             << R"({"status":"fail","errors":")" + errors + "\"}";
    };
    row("wrong password", "ann", "Secret", "Invalid username or password");
    row("unknown user", "zed", "secret", "Invalid username or password");
    row("blocked account", "bob", "pw", "Your account is blocked by administrator");
}

void TestApplianceSessions::loginAnswersByAccount()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(get(loginTarget(user.toStdString(), password.toStdString()))),
             expected);
    QVERIFY(m_appliance->sessions().empty());
}

void TestApplianceSessions::eachLoginGetsANewUseridAndAPositiveK1()
{
    const auto answer = nlohmann::json::parse(get(loginTarget("ann", "secret")));
    QCOMPARE(answer.at("status"), "success");
    QVERIFY(answer.at("data").at("userid").is_number_integer());
    QCOMPARE(answer.at("data").at("username"), "ann");
    QVERIFY(answer.at("data").at("k1").get<long long>() > 0);

    const SessionValues second = login("cy", "pw2");
    QCOMPARE(std::stoll(second.userid), answer.at("data").at("userid").get<long long>() + 1);
    QCOMPARE(m_appliance->sessions().size(), std::size_t(2));
}

void TestApplianceSessions::newLoginReplacesTheUsersOldSession()
{
    const SessionValues first = login("ann", "secret");
    const SessionValues second = login("ann", "secret");
    QCOMPARE(m_appliance->sessions().size(), std::size_t(1));
    QCOMPARE(keepAlive(second), success);
    QCOMPARE(keepAlive(first), expired);
}

void TestApplianceSessions::keepAliveRestartsTheIdleTimer()
{
    m_appliance->setSessionLifetime(2500ms);
    const SessionValues session = login("ann", "secret");
    // Each keep-alive comes before the lifetime since the one before, though all of them
    // together outlast it. A second is left for each request's handshake on a slow machine.
    for (int i = 0; i < 3; ++i) {
        QTest::qWait(1500);
        QCOMPARE(keepAlive(session), success);
    }
}

void TestApplianceSessions::keepAliveAfterTheLifetimeSaysSessionExpiredOnce()
{
    m_appliance->setSessionLifetime(300ms);
    const SessionValues session = login("ann", "secret");
    QTest::qWait(450);
    QVERIFY(m_appliance->sessions().at(0).expired);
    QCOMPARE(keepAlive(session), expired);
    QVERIFY(m_appliance->sessions().empty());
}

void TestApplianceSessions::keepAliveWithValuesOfNoSessionLeavesSessionsAlone()
{
    const SessionValues session = login("ann", "secret");
    QCOMPARE(keepAlive({ session.userid, session.username, "1" }), expired);
    QCOMPARE(keepAlive({ session.userid, "cy", session.k1 }), expired);
    QCOMPARE(keepAlive({ "", "", "" }), expired);
    QCOMPARE(keepAlive(session), success);
}

void TestApplianceSessions::operatorEndsASession_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("reasonPart");
    QTest::addColumn<bool>("othersEnd");
    const auto row = [](const char* title, QString action, QString reasonPart, bool othersEnd) {
        QTest::newRow(title) << action << reasonPart << othersEnd;
    };
    row("kick out", "kick", "kicked out", false);
    row("block", "block", "blocked by", false);
    row("daily logout", "daily", "Daily Logout", true);
    row("expire one", "expire", "Session Expired", false);
    row("expire all", "expire all", "Session Expired", true);
}

void TestApplianceSessions::operatorEndsASession()
{
    QFETCH(QString, action);
    QFETCH(QString, reasonPart);
    QFETCH(bool, othersEnd);
    const SessionValues ann = login("ann", "secret");
    const SessionValues cy = login("cy", "pw2");
    if (action == "kick")
        m_appliance->kickOut("ann");
    else if (action == "block")
        m_appliance->blockUser("ann");
    else if (action == "daily")
        m_appliance->dailyLogout();
    else if (action == "expire")
        m_appliance->expireSession("ann");
    else
        m_appliance->expireSessions();

    const auto answer = nlohmann::json::parse(keepAlive(ann));
    QCOMPARE(answer.at("status"), "fail");
    QVERIFY2(answer.at("errors").get<std::string>().find(reasonPart.toStdString())
                 != std::string::npos,
             answer.dump().c_str());
    // One such answer, then the session is gone.
    QCOMPARE(keepAlive(ann), expired);
    QCOMPARE(keepAlive(cy) == success, !othersEnd);
}

void TestApplianceSessions::logoutEndsTheSessionsOfTheRequestingAddress()
{
    const SessionValues ann = login("ann", "secret"); // from 127.0.0.1
    const RawExchange fromElsewhere =
        rawExchange(m_appliance->listeners().at(1), rawGet(loginTarget("cy", "pw2")), "127.0.0.7");
    QVERIFY(fromElsewhere.connected);
    const SessionValues cy = sessionValuesOf(bodyOf(fromElsewhere));

    const auto logout = clientFor(https())->Get(logoutTarget().c_str());
    QVERIFY(logout);
    QCOMPARE(logout->status, 200);
    QCOMPARE(logout->body, std::string("success"));
    QCOMPARE(keepAlive(ann), expired);
    QCOMPARE(keepAlive(cy), success);

    QCOMPARE(get(logoutTarget()), std::string("You are not logged in"));
}

void TestApplianceSessions::malformedPortalRequestsGetBadRequest_data()
{
    QTest::addColumn<QString>("target");
    const QString key = QString::fromStdString(portalKey);
    QTest::newRow("no ms") << "/index.php?pageto=fbo&operation=4&mes=" + key;
    QTest::newRow("wrong mes") << "/index.php?pageto=fbo&operation=4&ms=" + key + "&mes=" + key
            + "x";
    QTest::newRow("unknown pageto") << "/index.php?pageto=zz&ms=" + key + "&mes=" + key;
    QTest::newRow("no pageto") << "/index.php?ms=" + key + "&mes=" + key;
    QTest::newRow("logout without operation 4")
        << "/index.php?pageto=fbo&operation=3&ms=" + key + "&mes=" + key;
    QTest::newRow("login without stage")
        << QString::fromStdString(loginTarget("ann", "secret")).remove("&stage=9");
    QTest::newRow("keep-alive without k1")
        << "/index.php?pageto=ka&ms=" + key + "&mes=" + key + "&u=1&username=ann";
}

void TestApplianceSessions::malformedPortalRequestsGetBadRequest()
{
    QFETCH(QString, target);
    const auto result = clientFor(https())->Get(target.toStdString().c_str());
    QVERIFY(result);
    QCOMPARE(result->status, 400);
    QCOMPARE(result->body, std::string("bad request"));
    QVERIFY(m_appliance->sessions().empty());
}

void TestApplianceSessions::otherPathsGetNotFound()
{
    for (const char* target : { "/", "/isvelmora.php/x", "/index.html", "/IsVelmora.php" }) {
        const auto result = clientFor(https())->Get(target);
        QVERIFY(result);
        QCOMPARE(result->status, 404);
    }
}

QTEST_GUILESS_MAIN(TestApplianceSessions)
#include "TestApplianceSessions.moc"
