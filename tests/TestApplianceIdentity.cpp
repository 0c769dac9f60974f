#include "auth/IdentityQuestion.h"
#include "settings/TrustedIdentities.h"
#include "support/ModalBoxes.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

#include <QAction>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QSslCertificate>
#include <QSslKey>

#include <thread>

using standin::Scheme;
using standin::StandInAppliance;

namespace {

// The identity the client is to trust for a stand-in: the SHA-256 of its key's
// SubjectPublicKeyInfo, worked out here with Qt's own TLS classes.
std::string keyIdentity(const StandInAppliance& appliance)
{
    const QSslCertificate certificate(QByteArray::fromStdString(appliance.certificatePem()));
    const QByteArray key = certificate.publicKey().toDer();
    return QCryptographicHash::hash(key, QCryptographicHash::Sha256)
        .toHex(':')
        .toUpper()
        .toStdString();
}

// An identity as the client writes it, for the store's own rules.
const std::string
    anIdentity("00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:"
               "88:99:AA:BB:CC:DD:EE:FF");

std::vector<std::string> treatments(const StandInAppliance& appliance)
{
    std::vector<std::string> seen;
    for (const auto& request : appliance.requestLog())
        seen.push_back(request.method.empty() ? request.treatment
                                              : request.param("pageto").value_or(request.path));
    return seen;
}

} // namespace

// Trust on first use of the appliance's key: the first login over HTTPS remembers it, every later
// request checks it in the TLS handshake, and a changed key gets nothing without the user's word.
class TestApplianceIdentity : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestApplianceIdentity(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void firstLoginOverHttpsRemembersTheKeyThatLetsEveryExchangeThrough();
    void changedKeyAtLoginAsksOnce_data();
    void changedKeyAtLoginAsksOnce();
    void changedKeyDuringKeepAliveOrStartUpCheckSendsNothingAndTells();
    void noDowngradeToPlainHttpWithoutAsking_data();
    void noDowngradeToPlainHttpWithoutAsking();
    void endOfProgramAnswersAWaitingQuestion();
    void exitWhileTheQuestionShowsEndsTheProgramNotTheLogin();
    void storedEntriesAreCheckedAndKeptUnderTheCanonicalAddress();

private:
    std::string trusted(const std::string& identity) const;

    std::unique_ptr<ModalBoxes> m_boxes;
};

void TestApplianceIdentity::init()
{
    m_boxes = std::make_unique<ModalBoxes>();
    start(Show::exposed);
}

void TestApplianceIdentity::cleanup()
{
    stop();
    m_boxes.reset();
}

std::string TestApplianceIdentity::trusted(const std::string& identity) const
{
    return "127.0.0.1:" + std::to_string(m_appliance->listeners().at(0).port) + "=" + identity;
}

void TestApplianceIdentity::firstLoginOverHttpsRemembersTheKeyThatLetsEveryExchangeThrough()
{
    // A refused login trusts nothing: the appliance has not shown that it knows the user.
    submitLogin(QStringLiteral("wrong"), QStringLiteral("127.0.0.1"),
                m_appliance->listeners().at(0).port);
    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QCOMPARE(storedValue(u"trusted_identities"), "<missing>");
    // Nor in memory: another key there afterwards is a first use, and asks nothing.
    swapKey();

    logInFromForm();
    const std::string identity = keyIdentity(*m_appliance);
    QCOMPARE(storedValue(u"trusted_identities"), trusted(identity));
    // The same key asks nothing: a tick, and a restart that picks the stored session up through
    // the same check.
    m_inspect->setTickerEnabled(false); // the test gives the ticks
    QVERIFY(m_inspect->tick());
    startWindow(Show::exposed);
    QTRY_COMPARE(page(), 2);
    logOutFromButton();

    const std::vector<std::string> expected { "/isvelmora.php", "c", "ka", "ka", "fbo" };
    QCOMPARE(treatments(*m_appliance), expected);
    QCOMPARE(storedValue(u"keep_k1"), ""); // the session is blanked...
    QCOMPARE(storedValue(u"trusted_identities"), trusted(identity)); // ...its appliance is not
    QCOMPARE(m_boxes->shown.size(), 1); // the refusal's
}

void TestApplianceIdentity::changedKeyAtLoginAsksOnce_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("No ends the login") << false;
    QTest::newRow("Yes trusts the new key and logs in") << true;
}

void TestApplianceIdentity::changedKeyAtLoginAsksOnce()
{
    QFETCH(bool, yes);
    logInFromForm();
    const std::string old = keyIdentity(*m_appliance);
    logOutFromButton();
    swapKey();
    const std::string shown = keyIdentity(*m_appliance);
    QVERIFY(shown != old);

    // Both boxes ticked: the endpoint of the last login first, then the route trace.
    m_boxes->sayYes = yes;
    const LogTail log(m_home.logFile());
    submitLogin(QStringLiteral("secret"), QString(), 0);
    QTRY_VERIFY(!m_boxes->shown.isEmpty());
    const ModalBoxes::Box question = m_boxes->shown.front();
    QCOMPARE(question.title, "Appliance identity changed");
    QCOMPARE(question.format, Qt::PlainText);
    QCOMPARE(QString(question.defaultButton).remove(QLatin1Char('&')), "No");
    // Both identities, each in the two lines of 16 pairs that the box gives it.
    for (const std::string& identity : { old, shown }) {
        const QString lines =
            QString::fromStdString(identity.substr(0, 47) + "\n" + identity.substr(48));
        QVERIFY2(question.text.contains(lines), qPrintable(question.text));
    }
    QVERIFY(question.text.contains(QStringLiteral("127.0.0.1:")));

    if (!yes) {
        QTRY_COMPARE(m_boxes->shown.size(), 2);
        QCOMPARE(m_boxes->shown[1].title, "Information");
        QVERIFY(m_boxes->shown[1].text.startsWith(
            QStringLiteral("The login was stopped and your password was not sent")));
        QTRY_VERIFY(ui().stackedWidget->isEnabled());
        QCOMPARE(page(), 0);
        // The impostor saw a handshake and nothing else; nothing stored changed, and no other
        // candidate was tried.
        QCOMPARE(treatments(*m_appliance), std::vector<std::string> { "handshake-only" });
        QVERIFY(!log.contains(QStringLiteral("start traceroute")));
        QCOMPARE(storedValue(u"trusted_identities"), trusted(old));
        return;
    }
    QTRY_COMPARE(page(), 2);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    QCOMPARE(m_boxes->shown.size(), 1);
    const std::vector<std::string> expected { "handshake-only", "/isvelmora.php", "c" };
    QCOMPARE(treatments(*m_appliance), expected);
    QCOMPARE(storedValue(u"trusted_identities"), trusted(shown));
}

void TestApplianceIdentity::changedKeyDuringKeepAliveOrStartUpCheckSendsNothingAndTells()
{
    logInFromForm();
    m_inspect->setTickerEnabled(false);
    const std::string old = keyIdentity(*m_appliance);
    const std::string k1 = storedValue(u"keep_k1");
    swapKey();

    QVERIFY(m_inspect->tick());
    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QVERIFY(m_inspect->tick());
    // The second keep-alive met the same key and its exchange has ended: no second box.
    const std::vector<std::string> handshakes { "handshake-only", "handshake-only" };
    QTRY_COMPARE(treatments(*m_appliance), handshakes);
    QTRY_COMPARE(m_inspect->startedWorkerThreads(), 0);
    QVERIFY(m_inspect->guiStepsDone());
    QCOMPARE(m_boxes->shown.size(), 1);
    QCOMPARE(m_boxes->shown[0].title, "Information");
    QCOMPARE(m_boxes->shown[0].text.toStdString(),
             velmora::identityChangedNotice("127.0.0.1:"
                                            + std::to_string(m_appliance->listeners().at(0).port)));
    // As a keep-alive without an answer: the session stays, to be confirmed by the next tick.
    QCOMPARE(page(), 2);
    QVERIFY(m_inspect->isLoggedIn());
    QVERIFY(!m_inspect->isLoggedOut());
    QCOMPARE(m_inspect->errorMessage(),
             "Kindly check your network. We are not able to connect with Velmora Appliance.");
    QCOMPARE(storedValue(u"keep_k1"), k1);
    QCOMPARE(storedValue(u"trusted_identities"), trusted(old));

    // A change while the window is hidden is told when it shows.
    m_window->hide();
    swapKey();
    QVERIFY(m_inspect->tick());
    QTRY_COMPARE(treatments(*m_appliance), std::vector<std::string> { "handshake-only" });
    QTRY_COMPARE(m_inspect->startedWorkerThreads(), 0);
    QVERIFY(m_inspect->guiStepsDone());
    QCOMPARE(m_boxes->shown.size(), 1);
    m_window->show();
    QTRY_COMPARE(m_boxes->shown.size(), 2);

    // The next start's check meets yet another key: told too, not asked.
    closeWindow();
    swapKey();
    startWindow(Show::exposed);
    QTRY_COMPARE(m_boxes->shown.size(), 3);
    QCOMPARE(m_boxes->shown[2].title, "Information");
    QTRY_COMPARE(m_inspect->runningWorkerThreads(), 0);
    QCOMPARE(page(), 0);
    QCOMPARE(treatments(*m_appliance), std::vector<std::string> { "handshake-only" });
}

void TestApplianceIdentity::noDowngradeToPlainHttpWithoutAsking_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("No keeps the password off plain HTTP") << false;
    QTest::newRow("Yes logs in over plain HTTP") << true;
}

void TestApplianceIdentity::noDowngradeToPlainHttpWithoutAsking()
{
    QFETCH(bool, yes);
    // The appliance's own ports: the search tries 8090 and 443 over HTTPS before 80.
    const QString address = QStringLiteral("127.0.0.47");
    m_appliance = startAppliance({ { address.toStdString(), 8090, Scheme::https } });
    logInFromForm(address, 0);
    const std::string identity = keyIdentity(*m_appliance);
    const std::string stored = address.toStdString() + ":8090=" + identity;
    QCOMPARE(storedValue(u"trusted_identities"), stored);
    logOutFromButton();

    // Now only plain HTTP answers there.
    m_appliance = startAppliance({ { address.toStdString(), 80, Scheme::http } });
    m_boxes->sayYes = yes;
    submitLogin(QStringLiteral("secret"), address, 0);
    QTRY_VERIFY(!m_boxes->shown.isEmpty());
    QCOMPARE(m_boxes->shown[0].title, "Appliance identity changed");
    QVERIFY(m_boxes->shown[0].text.contains(QStringLiteral("plain HTTP")));
    QVERIFY(m_boxes->shown[0].text.contains(QStringLiteral("\nnone\n")));
    QTRY_VERIFY(ui().stackedWidget->isEnabled());

    if (!yes) {
        QTRY_COMPARE(m_boxes->shown.size(), 2);
        QVERIFY(m_boxes->shown[1].text.startsWith(QStringLiteral("The login was stopped")));
        QCOMPARE(treatments(*m_appliance), std::vector<std::string> { "/isvelmora.php" });
        QCOMPARE(storedValue(u"trusted_identities"), stored);
        QCOMPARE(m_inspect->fixedPort(), 8090);
        return;
    }
    QCOMPARE(page(), 2);
    QCOMPARE(m_boxes->shown.size(), 1);
    const std::vector<std::string> expected { "/isvelmora.php", "c" };
    QCOMPARE(treatments(*m_appliance), expected);
    QVERIFY(!m_inspect->isHttps());
    // That address and port are trusted over plain HTTP from now on; the key of 8090 stays.
    const std::string both = address.toStdString() + ":80=plain-http;" + stored;
    QCOMPARE(storedValue(u"trusted_identities"), both);
    logOutFromButton();
    logInFromForm(address, 0); // asks nothing
    logOutFromButton();
    QCOMPARE(m_boxes->shown.size(), 1);

    // HTTPS on 8090 again, with another key: the key trusted there before still guards it, so the
    // new one is a change to ask about, not a first use to trust unasked.
    m_appliance = startAppliance({ { address.toStdString(), 8090, Scheme::https } });
    m_boxes->sayYes = false;
    submitLogin(QStringLiteral("secret"), address, 0);
    QTRY_COMPARE(m_boxes->shown.size(), 3);
    QCOMPARE(m_boxes->shown[1].title, "Appliance identity changed");
    QVERIFY(m_boxes->shown[1].text.contains(QString::fromStdString(identity.substr(0, 47))));
    QVERIFY(m_boxes->shown[2].text.startsWith(QStringLiteral("The login was stopped")));
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    QCOMPARE(treatments(*m_appliance), std::vector<std::string> { "handshake-only" });
    QCOMPARE(storedValue(u"trusted_identities"), both);
}

void TestApplianceIdentity::endOfProgramAnswersAWaitingQuestion()
{
    logInFromForm();
    logOutFromButton();
    swapKey();

    // The login thread asks while the GUI thread is held here: the box never shows.
    const LogTail log(m_home.logFile());
    submitLogin(QStringLiteral("secret"), QStringLiteral("127.0.0.1"),
                m_appliance->listeners().at(0).port);
    QElapsedTimer waited;
    waited.start();
    while (!log.contains(QStringLiteral("Ask the user whether to trust"))
           && waited.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    QVERIFY(log.contains(QStringLiteral("Ask the user whether to trust")));

    // Without an answer for it the end would give up on the login thread and end the process
    // (which the run's closing line shows).
    const qint64 teardown = closeWindow();
    QVERIFY2(teardown < 1000, qPrintable(QString::number(teardown)));
    QVERIFY(log.contains(QStringLiteral("All background work has ended.")));
    QVERIFY(m_boxes->shown.isEmpty());
    QCOMPARE(treatments(*m_appliance), std::vector<std::string> { "handshake-only" });
}

void TestApplianceIdentity::exitWhileTheQuestionShowsEndsTheProgramNotTheLogin()
{
    logIn();
    logOutFromButton();
    swapKey();

    // Exit from the tray instead of an answer, once the question shows.
    m_boxes.reset();
    bool exited = false;
    QTimer exitAtTheQuestion;
    connect(&exitAtTheQuestion, &QTimer::timeout, this, [&] {
        if (!exited && qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            exited = true;
            m_inspect->exitAction()->trigger();
        }
    });
    exitAtTheQuestion.start(20);
    const LogTail log(m_home.logFile());
    submitLogin(QStringLiteral("secret"), QStringLiteral("127.0.0.1"),
                m_appliance->listeners().at(0).port);
    QTRY_VERIFY(exited);
    closeWindow(); // as the program's entry does once its event loop has returned
    QVERIFY(log.hasLine("info", "Triggered exit button."));
    QVERIFY(log.contains(QStringLiteral("The program ends before the user answered")));
    QVERIFY(!log.contains(QStringLiteral("does not trust")));
    QCOMPARE(treatments(*m_appliance), std::vector<std::string> { "handshake-only" });
    // Exit left the application quitting, where every later event loop ends at once; a run of
    // the main loop of its own clears that for the cases that follow.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

void TestApplianceIdentity::storedEntriesAreCheckedAndKeptUnderTheCanonicalAddress()
{
    const std::string& identity = anIdentity;
    QVERIFY(velmora::isIdentity(identity));
    std::string lower = identity;
    lower[3] = 'a';
    // Damaged entries are left out.
    const auto kept = velmora::TrustedIdentities::fromText(
        "10.0.0.1:8090=" + identity + ";10.0.0.2:443=" + lower + ";10.0.0.3:0=" + identity
        + ";10.0.0.4:65536=" + identity + ";10.0.0.5=" + identity + ";10.0.0.256:443=" + identity
        + ";garbage;;10.0.0.6:443=" + identity.substr(3));
    QCOMPARE(kept.text(), "10.0.0.1:8090=" + identity);
    QCOMPARE(kept.anyIdentityOf("10.0.0.1"), identity);
    QCOMPARE(kept.anyIdentityOf("10.0.0.10"), "");
    QCOMPARE(kept.identity("10.0.0.1", 443), "");

    const std::string other = "FF" + identity.substr(2);
    // Written before addresses were kept canonical, in the spelling that was typed; those that no
    // resolver may see are left out, and the canonical entry wins over another spelling of it.
    const std::string text = "127.000.000.077:443=" + identity + ";0x7f.0.0.1:443=" + identity
        + ";2130706433:443=" + identity + ";10.000.000.001:8090=" + other
        + ";10.0.0.1:8090=" + identity + ";010.0.0.1:8090=" + other + ";10.0.0.1:80=plain-http";
    auto identities = velmora::TrustedIdentities::fromText(text);
    QCOMPARE(identities.text(),
             "10.0.0.1:80=plain-http;10.0.0.1:8090=" + identity + ";127.0.0.77:443=" + identity);
    QCOMPARE(identities.identity("127.000.000.077", 443), identity);
    QCOMPARE(identities.identity("127.0.0.1", 443), "");

    // Trusted over plain HTTP: no identity there, and the other port's key still answers for the
    // address.
    QVERIFY(identities.trustsPlainHttp("10.0.0.1", 80));
    QVERIFY(!identities.trustsPlainHttp("10.0.0.1", 8090));
    QCOMPARE(identities.identity("10.0.0.1", 80), "");
    QCOMPARE(identities.anyIdentityOf("10.000.000.001"), identity);
    identities.trustPlainHttp("127.0.0.77", 443);
    QCOMPARE(identities.identity("127.0.0.77", 443), "");
    QCOMPARE(identities.anyIdentityOf("127.0.0.77"), "");
    identities.trust("0x7f.0.0.1", 443, identity);
    QCOMPARE(identities, velmora::TrustedIdentities::fromText(identities.text()));
    QVERIFY(identities.text().find("0x7f") == std::string::npos);
}

VELMORA_TEST_MAIN(TestApplianceIdentity)
#include "TestApplianceIdentity.moc"
