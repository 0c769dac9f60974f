#include "support/ModalBoxes.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStackedWidget>

#include <random>
// The oracle of the form checks. GCC 12 warns inside <regex> under AddressSanitizer, a false
// positive in std::function.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

using standin::Exchange;
using standin::Scheme;

namespace {

const char networkMessage[] =
    "Kindly check your network. We are not able to connect with Velmora Appliance.";

// A press and release made by the user at `where`, delivered through the window's event queue to
// whatever widget is there by then; the timestamp says when the user made them.
void queueClick(QWidget* window, QPoint where, ulong timestamp)
{
    for (const QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease }) {
        auto* event = new QMouseEvent(
            type, where, window->mapToGlobal(where), Qt::LeftButton,
            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        event->setTimestamp(timestamp);
        QCoreApplication::postEvent(window->windowHandle(), event);
    }
}

} // namespace

// The login workflow driven from the real window: typing into the fields and pressing the buttons,
// against the stand-in appliance.
class TestLoginWorkflow : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestLoginWorkflow(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void typedLoginRunsOnceIsStoredAndIsTriedFirstAfterALogout();
    void failedLoginShowsItsBoxOverTheForm_data();
    void failedLoginShowsItsBoxOverTheForm();
    void validationMessagesComeInOrder_data();
    void validationMessagesComeInOrder();
    void invalidFormIsRememberedAndStillSearched();
    void administratorPresetSparesTheFirstLoginTheRouteTrace();
    void failedLogoutShowsItsBoxAndStillReturns();
    void typedAddressIsContactedStoredAndPinnedAsFourDecimalNumbers();
    void storedAddressInAnotherSpellingIsNeverContacted_data();
    void storedAddressInAnotherSpellingIsNeverContacted();
    void answersThatEndTheLoginOnTheLoginThread_data();
    void answersThatEndTheLoginOnTheLoginThread();
    void windowAnswersWhileTheLogoutWaits();
    void logoutDuringAWaitingKeepAliveIsDone();
    void doubleClickOnLoginDoesNotLogStraightOut();
    void checksAnswerAsTheRegularExpressionsDid();
    void thirtyThousandDigitsFitASmallStack();

private:
    // Types ann and the password; with an address, unticks both auto-detect boxes and types the
    // address and the port (empty: the first listener's).
    void typeForm(const QString& password = QStringLiteral("secret"),
                  const QString& address = QStringLiteral("127.0.0.1"), const QString& port = {});
    // Where the Logout button of the connected page and the Login button of the login page
    // overlap, in the window's coordinates.
    QPoint whereLoginAndLogoutOverlap();
    // Logs in from the form with the password remembered, so a stray click on Login could log in
    // again; returns where a click on Logout would land on Login once the page has changed.
    QPoint logInRemembered();

    std::unique_ptr<ModalBoxes> m_boxes;
};

void TestLoginWorkflow::init()
{
    m_boxes = std::make_unique<ModalBoxes>();
    start({ { "127.0.0.1", 0, Scheme::https }, { "127.0.0.1", 0, Scheme::http } },
          { { "ann", "secret", false } }, Show::exposed);
}

void TestLoginWorkflow::cleanup()
{
    m_boxes.reset();
    stop();
}

void TestLoginWorkflow::typeForm(const QString& password, const QString& address,
                                 const QString& port)
{
    if (!address.isEmpty()) {
        click(ui().autoDetectIpAddress);
        click(ui().autoDetectPortAddress);
        QVERIFY(ui().lineEdit_ipAdress->isVisible() && ui().lineEdit_portadress->isVisible());
        typeInto(ui().lineEdit_ipAdress, address);
        typeInto(ui().lineEdit_portadress,
                 port.isEmpty() ? QString::number(m_appliance->listeners().at(0).port) : port);
    }
    typeInto(ui().lineEdit_username, QStringLiteral("ann"));
    typeInto(ui().lineEdit_password, password);
}

void TestLoginWorkflow::typedLoginRunsOnceIsStoredAndIsTriedFirstAfterALogout()
{
    for (const char16_t* name : { u"username", u"password", u"rememberme" })
        QVERIFY(storeValue(name, "old"));
    m_appliance->injectFault(
        faultOn(Exchange::probe, standin::Fault::slowAnswer, std::chrono::milliseconds(1500)));
    typeForm();
    QVERIFY(!ui().remberMe->isChecked());
    QCOMPARE(m_inspect->trayImage(), "not-connected");

    // Return in a field presses Login; the presses that follow while it runs start nothing.
    QTest::keyClick(ui().lineEdit_portadress, Qt::Key_Return);
    QCOMPARE(ui().stackedWidget->currentIndex(), 1); // loading, at once
    QVERIFY(!ui().stackedWidget->isEnabled());
    QCOMPARE(m_inspect->trayImage(), "busy");
    click(ui().login);
    QTest::keyClick(ui().lineEdit_password, Qt::Key_Return);
    QCOMPARE(m_inspect->runningWorkerThreads(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(ui().stackedWidget->currentIndex(), 2, 10000);
    QCOMPARE(m_inspect->trayImage(), "connected");
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    QVERIFY(m_boxes->shown.isEmpty());
    QVERIFY(m_inspect->isLoggedIn());
    QVERIFY(m_inspect->isConnectedVelmora());
    QVERIFY(m_inspect->tickerEnabled());
    QCOMPARE(storedValue(u"keep_fixedIP"), "127.0.0.1");
    QCOMPARE(storedValue(u"keep_fixedPort"), std::to_string(m_appliance->listeners().at(0).port));
    QCOMPARE(storedValue(u"keepAlive_isHttps"), "1");
    QCOMPARE(storedValue(u"keep_userid"), m_inspect->userid());
    // "Remember me" unticked: the credentials are blanked, not removed.
    for (const char16_t* name : { u"username", u"password", u"rememberme" })
        QCOMPARE(storedValue(name), "");
    const auto log = m_appliance->requestLog();
    QCOMPARE(log.size(), size_t(2));
    QCOMPARE(log[0].path, "/isvelmora.php");
    QCOMPARE(log[1].param("pageto"), "c");
    QTRY_COMPARE(m_inspect->runningWorkerThreads(), 0);

    // What each page switch found: the loading page before the request, with Logout disabled;
    // the login page after it.
    QStringList steps;
    connect(ui().stackedWidget, &QStackedWidget::currentChanged, this, [&](int page) {
        steps << QStringLiteral("page %1, logout %2, %3 logout requests")
                     .arg(page)
                     .arg(ui().logout->isEnabled() ? "enabled" : "disabled")
                     .arg(requests("fbo"));
    });
    click(ui().logout);

    QTRY_COMPARE(steps.size(), 2);
    QCOMPARE(steps,
             QStringList({ "page 1, logout disabled, 0 logout requests",
                           "page 0, logout disabled, 1 logout requests" }));
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
    QCOMPARE(m_inspect->trayImage(), "not-connected");
    QVERIFY(ui().logout->isEnabled());
    QVERIFY(m_inspect->isLoggedOut());
    QVERIFY(!m_inspect->tickerEnabled());
    QVERIFY(m_boxes->shown.isEmpty());
    QVERIFY(m_appliance->sessions().empty());
    QVERIFY2(ui().lineEdit_password->text().isEmpty(), "not remembered, so the password goes");
    QCOMPARE(storedValue(u"keep_fixedIP"), "");

    // Both boxes ticked again: the endpoint of the last login is probed, whatever the fields say.
    click(ui().autoDetectIpAddress);
    click(ui().autoDetectPortAddress);
    typeInto(ui().lineEdit_ipAdress, QStringLiteral("127.0.0.99"));
    typeInto(ui().lineEdit_password, QStringLiteral("secret"));
    m_appliance->clearRequestLog();
    click(ui().login);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 2);
    const auto again = m_appliance->requestLog();
    QCOMPARE(again.size(), size_t(2));
    QCOMPARE(again[0].listener.port, m_appliance->listeners().at(0).port);
    QCOMPARE(again[0].path, "/isvelmora.php");
}

void TestLoginWorkflow::failedLoginShowsItsBoxOverTheForm_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("port"); // empty: the stand-in's
    QTest::addColumn<QString>("message");
    QTest::newRow("refused") << "wrong" << QString() << "\"Invalid username or password\"";
    QTest::newRow("nothing listens")
        << "secret" << QString::number(refusedLoopbackPort()) << networkMessage;
    // Digits, so it passes the form's check; it fails without hanging.
    QTest::newRow("port beyond 32 bits") << "secret"
                                         << "99999999999" << networkMessage;
}

void TestLoginWorkflow::failedLoginShowsItsBoxOverTheForm()
{
    QFETCH(QString, password);
    QFETCH(QString, port);
    QFETCH(QString, message);
    const bool network = message == QLatin1String(networkMessage);
    typeForm(password, QStringLiteral("127.0.0.1"), port);
    m_boxes->note = [this] {
        return QStringLiteral("page %1, %2")
            .arg(ui().stackedWidget->currentIndex())
            .arg(ui().stackedWidget->isEnabled() ? "enabled" : "disabled");
    };
    click(ui().login);

    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QCOMPARE(m_boxes->shown[0].note, "page 0, disabled"); // enabled once the box is closed
    QCOMPARE(m_boxes->shown[0].title, "Information");
    QCOMPARE(m_boxes->shown[0].text, message);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
    QVERIFY(!m_inspect->isLoggedIn());
    QCOMPARE(m_inspect->isConnectedVelmora(), !network);
    QCOMPARE(m_appliance->requestLog().empty(), network);
    QCOMPARE(ui().lineEdit_password->text(), password); // the form is left for another try
}

void TestLoginWorkflow::validationMessagesComeInOrder_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("ip"); // empty: the address box stays ticked
    QTest::addColumn<QString>("port"); // empty: the port box stays ticked; "-": unticked, empty
    QTest::addColumn<QString>("message");
    const char* const rows[][6] = {
        { "nothing typed: the user name only", "", "", "", "", "Enter valid username" },
        { "no password", "ann", "", "", "", "Enter valid password" },
        { "a blank is a password", "ann", " ", "127.0.0", "", "Enter valid IP address" },
        { "three groups", "ann", "pw", "127.0.0", "", "Enter valid IP address" },
        { "port with a letter", "ann", "pw", "", "80a", "Enter valid port address" },
        { "empty port", "ann", "pw", "", "-", "Enter valid port address" },
        // Every field wrong at once: the rules are asked in their order.
        { "all wrong: the user name only", "", "", "1.2", "x", "Enter valid username" },
        { "password, address and port wrong: the password", "ann", "", "1.2", "x",
          "Enter valid password" },
        { "address and port wrong: the address", "ann", "pw", "1.2", "x",
          "Enter valid IP address" },
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << QString(row[3])
                              << QString(row[4]) << QString(row[5]);
}

void TestLoginWorkflow::validationMessagesComeInOrder()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, message);
    typeInto(ui().lineEdit_username, user);
    typeInto(ui().lineEdit_password, password);
    if (!ip.isEmpty()) {
        click(ui().autoDetectIpAddress);
        typeInto(ui().lineEdit_ipAdress, ip);
    }
    if (!port.isEmpty()) {
        click(ui().autoDetectPortAddress);
        typeInto(ui().lineEdit_portadress, port == QLatin1String("-") ? QString() : port);
    }
    click(ui().login);

    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QCOMPARE(m_boxes->shown[0].title, "Information");
    QCOMPARE(m_boxes->shown[0].text, message);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
    QCOMPARE(logins(), 0);
}

void TestLoginWorkflow::invalidFormIsRememberedAndStillSearched()
{
    m_inspect->setEndpoint("127.0.0.1", m_appliance->listeners().at(0).port, true);
    typeInto(ui().lineEdit_username, QStringLiteral("Jürgen"));
    click(ui().remberMe);
    click(ui().login);
    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QCOMPARE(m_boxes->shown[0].text, "Enter valid password");
    // The search ran before the message, the login did not.
    QCOMPARE(requests("probe"), 1);
    QCOMPARE(logins(), 0);
    QCOMPARE(QString::fromStdString(storedValue(u"username")), QStringLiteral("Jürgen"));
    QCOMPARE(storedValue(u"password"), "");
    QCOMPARE(storedValue(u"rememberme"), "Yes");

    // The next start fills the form back in.
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    startWindow(Show::hidden);
    QCOMPARE(ui().lineEdit_username->text(), QStringLiteral("Jürgen"));
    QVERIFY(ui().remberMe->isChecked());
}

void TestLoginWorkflow::administratorPresetSparesTheFirstLoginTheRouteTrace()
{
    // A new user on a machine whose administrator preset the stand-in as the appliance.
    QVERIFY(QDir().mkpath(QFileInfo(m_home.presetFile()).path()));
    QFile preset(m_home.presetFile());
    QVERIFY(preset.open(QIODevice::WriteOnly | QIODevice::Truncate));
    preset.write("[General]\nkeep_fixedIP=127.0.0.1\nkeep_fixedPort="
                 + QByteArray::number(m_appliance->listeners().at(0).port) + "\n");
    preset.close();
    const auto removePreset = qScopeGuard([this] { QFile::remove(m_home.presetFile()); });
    startWindow(Show::hidden);
    const QString traced = m_home.path() + QStringLiteral("/traced");
    m_inspect->setGatewayTraceCommand("touch '" + traced.toStdString() + "'");
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QCOMPARE(storedValue(u"keep_fixedIP"), "<missing>");

    // Both boxes ticked, as they start: the preset is probed first, and it answers.
    typeForm(QStringLiteral("secret"), {});
    click(ui().login);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 2);
    const auto log = m_appliance->requestLog();
    QCOMPARE(log.size(), size_t(2));
    QCOMPARE(log[0].path, "/isvelmora.php");
    QCOMPARE(log[0].listener.port, m_appliance->listeners().at(0).port);
    QCOMPARE(logins(), 1);
    QVERIFY2(!QFile::exists(traced), "the route was traced");
}

void TestLoginWorkflow::failedLogoutShowsItsBoxAndStillReturns()
{
    logInFromForm();
    m_appliance->stopListeners(standin::SessionsOnStop::keep);
    m_boxes->note = [this] {
        return QStringLiteral("page %1, logout %2")
            .arg(ui().stackedWidget->currentIndex())
            .arg(ui().logout->isEnabled() ? "enabled" : "disabled");
    };

    click(ui().logout);

    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QCOMPARE(m_boxes->shown[0].title, "Information");
    QCOMPARE(m_boxes->shown[0].text, networkMessage);
    QVERIFY2(m_boxes->shown[0].hadParent, "the logout box belongs to the window");
    QCOMPARE(m_boxes->shown[0].note, "page 1, logout disabled"); // the login page comes after
    QTRY_VERIFY(ui().logout->isEnabled());
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
    QVERIFY(!m_inspect->isLoggedOut());
    QVERIFY(!m_inspect->tickerEnabled());
}

void TestLoginWorkflow::typedAddressIsContactedStoredAndPinnedAsFourDecimalNumbers()
{
    // The form takes leading zeros. The system's resolver reads "077" as octal, 63: an appliance
    // there would get the password.
    m_appliance = startAppliance({ { "127.0.0.77", 0, Scheme::https } });
    const std::uint16_t port = m_appliance->listeners().at(0).port;
    const auto octal = startAppliance({ { "127.0.0.63", port, Scheme::https } });
    const std::string portText = std::to_string(port);
    const LogTail log(m_home.logFile());
    typeForm(QStringLiteral("secret"), QStringLiteral("127.000.000.077"));
    click(ui().login);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 2);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());

    QCOMPARE(requests("probe"), 1);
    QCOMPARE(logins(), 1);
    QVERIFY(octal->requestLog().empty());
    QCOMPARE(m_inspect->fixedIP(), "127.0.0.77");
    QCOMPARE(storedValue(u"keep_fixedIP"), "127.0.0.77");
    const std::string pins = storedValue(u"trusted_identities");
    QVERIFY2(pins.starts_with("127.0.0.77:" + portText + "="), pins.c_str());
    QVERIFY(log.hasLine(
        "info",
        QString::fromStdString("Hit the isVelmora with ip 127.0.0.77 and port " + portText)));
    QVERIFY(log.hasLine(
        "info",
        QString::fromStdString("start check isVelmora with ip 127.0.0.77 and port " + portText)));
    QCOMPARE(log.count(QStringLiteral("000.077")), 0);

    // The next start revives the session at the same address.
    startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(ui().stackedWidget->currentIndex(), 2, 10000);
    QVERIFY(requests("ka") >= 1);
    QVERIFY(octal->requestLog().empty());
    QVERIFY(m_boxes->shown.isEmpty());
}

void TestLoginWorkflow::storedAddressInAnotherSpellingIsNeverContacted_data()
{
    QTest::addColumn<QString>("stored");
    // Each of them the system's resolver reads as 127.0.0.77.
    QTest::newRow("a single 32-bit number") << "2130706509";
    QTest::newRow("hexadecimal parts") << "0x7f.0.0.0x4d";
    QTest::newRow("three parts") << "127.0.77";
    QTest::newRow("four octal digits") << "127.0.0.0115";
}

void TestLoginWorkflow::storedAddressInAnotherSpellingIsNeverContacted()
{
    QFETCH(QString, stored);
    m_appliance = startAppliance({ { "127.0.0.77", 0, Scheme::https } });
    // A session as a login leaves it, but for the spelling of the address.
    const std::pair<std::u16string, std::string> session[] = {
        { u"keep_userid", "7" },
        { u"keep_username", "ann" },
        { u"keep_k1", "99" },
        { u"keep_fixedIP", stored.toStdString() },
        { u"keep_fixedPort", std::to_string(m_appliance->listeners().at(0).port) },
        { u"keepAlive_isHttps", "1" },
    };
    for (const auto& [name, value] : session)
        QVERIFY(storeValue(name, value));
    const LogTail log(m_home.logFile());

    startWindow(Show::hidden);
    // Refused as a malformed address is: no session check starts, nothing is contacted.
    QCOMPARE(m_inspect->startedWorkerThreads(), 0);
    QCOMPARE(m_inspect->fixedIP(), "");
    QVERIFY(log.hasLine("error",
                        QStringLiteral("The stored appliance address is not an IPv4 address of "
                                       "four decimal numbers from 0 to 255: it is left out")));
    QTRY_COMPARE(m_inspect->runningWorkerThreads(), 0);
    QVERIFY(m_appliance->requestLog().empty());
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
}

QPoint TestLoginWorkflow::whereLoginAndLogoutOverlap()
{
    const auto inWindow = [this](QWidget* widget) {
        return QRect(widget->mapTo(m_window.get(), QPoint(0, 0)), widget->size());
    };
    // A page is laid out when it is first shown.
    const int shown = ui().stackedWidget->currentIndex();
    ui().stackedWidget->setCurrentIndex(shown == 2 ? 0 : 2);
    ui().stackedWidget->setCurrentIndex(shown);
    const QRect overlap = inWindow(ui().login) & inWindow(ui().logout);
    return overlap.isEmpty() ? QPoint() : overlap.center();
}

void TestLoginWorkflow::answersThatEndTheLoginOnTheLoginThread_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("box"); // empty: none
    QTest::addColumn<int>("logouts");
    QTest::newRow("refusal with a session-end text ends the session")
        << QString::fromStdString(refusal("Your account is blocked by administrator"))
        << "Your account is blocked by administrator" << 0;
    QTest::newRow("success without usable session values is logged out again")
        << R"({"status":"success","data":{"userid":7,"username":"ann"}})"
        << "" << 1;
}

void TestLoginWorkflow::answersThatEndTheLoginOnTheLoginThread()
{
    QFETCH(QString, answer);
    QFETCH(QString, box);
    QFETCH(int, logouts);
    m_appliance->scriptAnswer(scripted(Exchange::login, 200, answer.toStdString()));
    // The appliance ends the half-open session a bare success left.
    m_appliance->scriptAnswer(scripted(Exchange::logout, 200, "success"));
    m_inspect->setTickerEnabled(true); // as a session before this login left it
    typeForm();
    click(ui().login);

    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    QTRY_COMPARE(m_boxes->shown.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QCOMPARE(m_boxes->shown[0].text, box);
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
    QVERIFY(!m_inspect->isLoggedIn());
    QVERIFY(m_inspect->isLoggedOut());
    QVERIFY(!m_inspect->tickerEnabled());
    QVERIFY2(ui().lineEdit_password->text().isEmpty(), "not remembered, so the password goes");
    QCOMPARE(requests("fbo"), logouts);
}

QPoint TestLoginWorkflow::logInRemembered()
{
    // Both boxes ticked, as most users leave them: the search starts from the known endpoint.
    m_inspect->setEndpoint("127.0.0.1", m_appliance->listeners().at(0).port, true);
    typeForm(QStringLiteral("secret"), {});
    click(ui().remberMe);
    click(ui().login);
    [&] {
        QTRY_VERIFY(ui().stackedWidget->currentIndex() == 2 && ui().stackedWidget->isEnabled());
    }();
    m_appliance->clearRequestLog();
    return whereLoginAndLogoutOverlap();
}

void TestLoginWorkflow::windowAnswersWhileTheLogoutWaits()
{
    const QPoint where = logInRemembered();
    QVERIFY(!where.isNull());
    m_appliance->injectFault(
        faultOn(Exchange::logout, standin::Fault::slowAnswer, std::chrono::milliseconds(1500)));

    QTest::mouseClick(ui().logout, Qt::LeftButton, Qt::NoModifier,
                      ui().logout->mapFrom(m_window.get(), where));
    // Back at once, the appliance not yet asked: the loading page, Logout disabled.
    QCOMPARE(ui().stackedWidget->currentIndex(), 1);
    QVERIFY(!ui().logout->isEnabled());
    QTRY_COMPARE(requests("fbo"), 1);
    // A click the user makes meanwhile lands on the loading page, where it starts nothing.
    queueClick(m_window.get(), where, QTest::lastMouseTimestamp + 5000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(ui().stackedWidget->currentIndex(), 1);

    QTRY_VERIFY(ui().logout->isEnabled());
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
    QVERIFY(ui().stackedWidget->isEnabled());
    QVERIFY(m_inspect->isLoggedOut());
    QCOMPARE(m_appliance->requestLog().size(), size_t(1)); // the logout alone
    QVERIFY(m_boxes->shown.isEmpty());
}

void TestLoginWorkflow::logoutDuringAWaitingKeepAliveIsDone()
{
    const QPoint where = logInRemembered();
    QVERIFY(!where.isNull());
    m_inspect->setTickerEnabled(false); // the test gives the tick
    auto ended = scripted(Exchange::keepAlive, 200, refusal("Daily Logout"));
    ended.answer.delay = std::chrono::milliseconds(1500);
    m_appliance->scriptAnswer(ended);

    m_window->checkALive();
    QTRY_COMPARE(requests("ka"), 1);
    // The user need not wait for the keep-alive: their Logout goes out beside it.
    QTest::mouseClick(ui().logout, Qt::LeftButton, Qt::NoModifier,
                      ui().logout->mapFrom(m_window.get(), where));
    QTRY_COMPARE(requests("fbo"), 1);
    QVERIFY(m_inspect->keepAliveUnderWay());

    QTRY_VERIFY(!m_inspect->keepAliveUnderWay());
    QTRY_VERIFY(ui().logout->isEnabled());
    QCOMPARE(ui().stackedWidget->currentIndex(), 0);
    QVERIFY(m_inspect->isLoggedOut());
    QVERIFY(!m_inspect->tickerEnabled());
    QCOMPARE(m_appliance->requestLog().size(), size_t(2));
    QVERIFY(m_boxes->shown.isEmpty());
}

void TestLoginWorkflow::doubleClickOnLoginDoesNotLogStraightOut()
{
    m_inspect->setEndpoint("127.0.0.1", m_appliance->listeners().at(0).port, true);
    typeForm(QStringLiteral("secret"), {});
    const QPoint where = whereLoginAndLogoutOverlap();
    QVERIFY(!where.isNull());
    QTest::mouseClick(ui().login, Qt::LeftButton, Qt::NoModifier,
                      ui().login->mapFrom(m_window.get(), where));
    QTRY_VERIFY(ui().stackedWidget->currentIndex() == 2 && ui().stackedWidget->isEnabled());

    // The second click of the double click, made a few milliseconds after the first, arrives
    // only now: the login was quicker.
    const ulong secondClick = QTest::lastMouseTimestamp - QTest::mouseDoubleClickInterval + 150;
    queueClick(m_window.get(), where, secondClick);
    QCoreApplication::sendPostedEvents();

    QCOMPARE(ui().stackedWidget->currentIndex(), 2);
    QVERIFY(m_inspect->isLoggedIn());
    QCOMPARE(requests("fbo"), 0);

    // A click made after the interval is the user's own.
    queueClick(m_window.get(), where, QTest::lastMouseTimestamp + 5000);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 0);
    QCOMPARE(requests("fbo"), 1);
}

void TestLoginWorkflow::checksAnswerAsTheRegularExpressionsDid()
{
    // The checks were regular expressions; every text gets the same answer from the hand-written
    // ones: texts the small alphabet cannot make (no range check, leading zeros, blanks, signs),
    // all texts of up to eight characters from a small alphabet, and random longer ones.
    const std::regex dottedQuad(R"(^\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$)");
    const std::regex digits(R"(\d+)");
    int differences = 0;
    const auto compare = [&](const std::string& text) {
        if (m_window->isValidIpAddress(text) != std::regex_match(text, dottedQuad)
            || m_window->isValidPort(text) != std::regex_match(text, digits)) {
            if (++differences <= 5)
                qWarning("differs: \"%s\"", text.c_str());
        }
    };

    for (const char* text : { "192.168.1.1", "256.1.1.1", "010.0.0.1", " 1.2.3.4", "1.2.3.1000",
                              "0", "99999", "+80", "80 " })
        compare(text);

    const std::string small = "1.x";
    std::vector<std::string> texts { "" };
    for (int length = 1; length <= 8; ++length) {
        std::vector<std::string> longer;
        for (const auto& text : texts) {
            if (text.size() == static_cast<size_t>(length - 1)) {
                for (const char c : small)
                    longer.push_back(text + c);
            }
        }
        texts.insert(texts.end(), longer.begin(), longer.end());
    }
    for (const auto& text : texts)
        compare(text);

    static constexpr char printable[] = "0123456789....  \t\n+-ax\xD9\xA0";
    const std::string alphabet = std::string(printable, sizeof printable - 1) + '\0';
    std::mt19937 random(2026);
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % 20, ' ');
        for (char& c : text)
            c = alphabet[random() % alphabet.size()];
        compare(text);
    }
    QCOMPARE(differences, 0);
}

void TestLoginWorkflow::thirtyThousandDigitsFitASmallStack()
{
    // The port field takes 32,767 characters; a Windows thread has 1 MiB of stack.
    const std::string digits(30000, '7');
    bool validPort = false;
    bool validIp = true;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        validPort = m_window->isValidPort(digits);
        validIp = m_window->isValidIpAddress("1.1.1." + digits);
    }));
    thread->setStackSize(512 * 1024);
    thread->start();
    QVERIFY(thread->wait(10000));
    QVERIFY(validPort);
    QVERIFY(!validIp);
}

VELMORA_TEST_MAIN(TestLoginWorkflow)
#include "TestLoginWorkflow.moc"
