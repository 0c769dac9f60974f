#include "support/TestMain.h"
#include "support/WindowFixture.h"

#include "auth/DesktopNotices.h"
#include "auth/IdentityQuestion.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QSystemTrayIcon>

namespace {

const QString serviceName = QStringLiteral("org.freedesktop.Notifications");

struct Notice
{
    QString summary;
    QString body;
};

// A real notification service on the test's display and session bus (dunst), and dbus-monitor
// watching every notice sent to it. It reads markup in bodies, as most desktops' services do.
class NotificationDaemon
{
public:
    explicit NotificationDaemon(const QString& folder)
    {
        const QString config = folder + QStringLiteral("/dunstrc");
        QFile file(config);
        if (file.open(QIODevice::WriteOnly))
            file.write("[global]\n    markup = full\n");
        file.close();
        m_monitor.start(QStringLiteral("dbus-monitor"),
                        { QStringLiteral("--session"),
                          QStringLiteral("type='method_call',interface='%1',member='Notify'")
                              .arg(serviceName) });
        m_monitor.waitForStarted(5000);
        // Turned monitor, it loses its own name; from then on it sees every call.
        for (int i = 0; i < 50 && !m_said.contains("member=NameLost"); ++i) {
            m_monitor.waitForReadyRead(100);
            m_said += m_monitor.readAllStandardOutput();
        }
        m_daemon.start(QStringLiteral("dunst"), { QStringLiteral("-config"), config });
        m_daemon.waitForStarted(5000);
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        for (int i = 0; i < 100 && !bus->isServiceRegistered(serviceName).value(); ++i)
            QTest::qWait(100);
    }
    ~NotificationDaemon()
    {
        for (QProcess* process : { &m_daemon, &m_monitor }) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
        }
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        for (int i = 0; i < 50 && bus->isServiceRegistered(serviceName).value(); ++i)
            QTest::qWait(100);
    }

    bool isUp()
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(serviceName);
    }

    // Every Notify call so far, in order: its summary and body.
    QList<Notice> received()
    {
        m_said += m_monitor.readAllStandardOutput();
        static const QRegularExpression argument(QStringLiteral("^   string \"(.*)\"$"),
                                                 QRegularExpression::MultilineOption);
        QList<Notice> notices;
        // Only Notify calls pass the monitor's rule; before the first is the monitor's own start.
        const QStringList calls = QString::fromUtf8(m_said).split(QStringLiteral("\nmethod call "));
        for (const QString& call : calls.mid(1)) {
            QStringList strings;
            for (auto match = argument.globalMatch(call); match.hasNext();)
                strings << match.next().captured(1);
            if (strings.size() >= 4)
                notices.append({ strings[2], strings[3] });
        }
        return notices;
    }

    QStringList summaries()
    {
        QStringList said;
        for (const Notice& notice : received())
            said << notice.summary;
        return said;
    }

    // What the daemon shows on the screen now.
    int displayed()
    {
        return dunstctl({ QStringLiteral("count"), QStringLiteral("displayed") }).toInt();
    }
    // The user clicks the newest notice: its default action.
    void click() { dunstctl({ QStringLiteral("action"), QStringLiteral("0") }); }

private:
    static QString dunstctl(const QStringList& arguments)
    {
        QProcess control;
        control.start(QStringLiteral("dunstctl"), arguments);
        control.waitForFinished(5000);
        return QString::fromUtf8(control.readAllStandardOutput()).trimmed();
    }

    QProcess m_monitor;
    QProcess m_daemon;
    QByteArray m_said;
};

// Qt's own balloon for tray messages, where no notification service is.
QWidget* shownBalloon()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && qstrcmp(widget->metaObject()->className(), "QBalloonTip") == 0)
            return widget;
    }
    return nullptr;
}

} // namespace

// The notices of a hidden window, on a desktop of the test's own: a real notification service on
// a private session bus, or only the tray's balloon.
class TestDesktopNotices : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestDesktopNotices(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void noticesOfAWindowOutOfSightReachTheServiceAsPlainText();
    void withoutAServiceTheTrayBalloonSpeaks();
    void appliancesEndOfTheSessionIsNoticedOnceWithItsReason_data();
    void appliancesEndOfTheSessionIsNoticedOnceWithItsReason();
    void threeUnansweredKeepAlivesAreNoticedOnceAndSoIsTheAnswer();
    void expiredSessionIsNoticedOnlyWhenTheReloginFails_data();
    void expiredSessionIsNoticedOnlyWhenTheReloginFails();
    void changedApplianceIdentityIsNoticedOnce();

private:
    void logInHidden();
};

void TestDesktopNotices::initTestCase()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(),
             "runs on tests/desktop/private-desktop.sh");
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
}

void TestDesktopNotices::init()
{
    start(Show::hidden);
}

void TestDesktopNotices::cleanup()
{
    stop();
}

// Logged in from the hidden window, as when it sits in the tray.
void TestDesktopNotices::logInHidden()
{
    logIn();
    QVERIFY(!m_window->isVisible());
    QCOMPARE(m_inspect->trayImage(), "connected");
}

void TestDesktopNotices::noticesOfAWindowOutOfSightReachTheServiceAsPlainText()
{
    NotificationDaemon daemon(m_home.path());
    QVERIFY(daemon.isUp());
    const LogTail log(m_home.logFile());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_inspect->notices()->notify(QStringLiteral("While shown"), QStringLiteral("-"));
    m_window->showMinimized();
    QTRY_VERIFY(m_window->isMinimized());
    m_inspect->notices()->notify(QStringLiteral("While minimised"), QStringLiteral("-"));
    m_window->hide();
    m_inspect->notices()->notify(QStringLiteral("Some event"),
                                 QStringLiteral("A <b>bold</b> & plain text"));

    // Sent in order, each once: once the last one is there, the first would be too.
    QTRY_COMPARE(daemon.summaries(),
                 QStringList({ QStringLiteral("While minimised"), QStringLiteral("Some event") }));
    QTRY_COMPARE(daemon.displayed(), 2);
    // The service reads markup in bodies: the text reaches it escaped, so it shows as typed.
    QCOMPARE(daemon.received()[1].body,
             QStringLiteral("A &lt;b&gt;bold&lt;/b&gt; &amp; plain text"));
    QVERIFY(log.hasLine("info", "Show notice on the desktop: Some event"));

    daemon.click(); // the newest
    QTRY_VERIFY(m_window->isVisible());
    QVERIFY(!m_window->isMinimized());
    QVERIFY(log.hasLine("info", "Restore the application window when a notice is clicked"));
}

void TestDesktopNotices::withoutAServiceTheTrayBalloonSpeaks()
{
    QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(serviceName));
    const LogTail log(m_home.logFile());

    m_inspect->notices()->notify(QStringLiteral("Balloon title"), QStringLiteral("Balloon text"));

    QTRY_VERIFY(shownBalloon());
    QWidget* balloon = shownBalloon();
    QStringList texts;
    for (const QLabel* label : balloon->findChildren<QLabel*>())
        texts << label->text();
    const QString shown = texts.join(QLatin1Char('|'));
    QVERIFY2(shown.contains(QLatin1String("Balloon title")), qPrintable(shown));
    QVERIFY2(shown.contains(QLatin1String("Balloon text")), qPrintable(shown));
    QVERIFY(log.hasLine("info", "Show notice in the system tray: Balloon title"));
    QTest::mouseClick(balloon, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTRY_VERIFY(m_window->isVisible());
}

void TestDesktopNotices::appliancesEndOfTheSessionIsNoticedOnceWithItsReason_data()
{
    QTest::addColumn<QString>("reason"); // the answer's "errors"; empty: kicked out
    QTest::addColumn<QString>("said");
    QTest::newRow("kicked out") << QString() << "You have been kicked out by the administrator";
    // Shown as text on one line: no markup, line break or direction mark of the appliance's.
    QTest::newRow("markup, a line break and a direction mark")
        << QStringLiteral("Daily Logout\n<b>now</b> \u202e& bye")
        << "Daily Logout &lt;b&gt;now&lt;/b&gt; &amp; bye";
    QTest::newRow("a long reason, cut at a word")
        << "Daily Logout " + QStringLiteral("words ").repeated(40)
        << "Daily Logout " + QStringLiteral("words ").repeated(16) + "words…";
}

void TestDesktopNotices::appliancesEndOfTheSessionIsNoticedOnceWithItsReason()
{
    QFETCH(QString, reason);
    QFETCH(QString, said);
    NotificationDaemon daemon(m_home.path());
    logInHidden();
    if (reason.isEmpty())
        m_appliance->kickOut("ann");
    else
        m_appliance->scriptAnswer(
            scripted(standin::Exchange::keepAlive, 200, refusal(reason.toStdString())));

    QVERIFY(!m_window->keepALive());
    QVERIFY(!m_window->keepALive()); // logged out: the late tick sends nothing, and says nothing

    QTRY_COMPARE(daemon.received().size(), 1);
    QCOMPARE(daemon.received()[0].summary, QStringLiteral("Logged out by the appliance"));
    QCOMPARE(daemon.received()[0].body, "The appliance ended your session: " + said);
    QCOMPARE(m_inspect->trayImage(), "not-connected");
}

void TestDesktopNotices::threeUnansweredKeepAlivesAreNoticedOnceAndSoIsTheAnswer()
{
    NotificationDaemon daemon(m_home.path());
    logInHidden();
    for (int unanswered = 1; unanswered <= 4; ++unanswered) {
        m_appliance->injectFault(faultOn(standin::Exchange::keepAlive,
                                         standin::Fault::resetMidAnswer,
                                         std::chrono::milliseconds(0)));
        QVERIFY(!m_window->keepALive());
        QCoreApplication::processEvents();
        // Still believed connected until the third silence.
        QCOMPARE(m_inspect->trayImage(), unanswered < 3 ? "connected" : "not-connected");
        if (unanswered == 2)
            QCOMPARE(daemon.received().size(), 0);
    }
    QTRY_COMPARE(daemon.summaries(), QStringList { QStringLiteral("Appliance not answering") });

    QVERIFY(m_window->keepALive());
    QVERIFY(m_window->keepALive());

    QTRY_COMPARE(daemon.summaries().size(), 2);
    QCOMPARE(daemon.summaries()[1], QStringLiteral("Appliance answering again"));
    QCOMPARE(m_inspect->trayImage(), "connected");
    // Nothing more: a notice of the test's own comes next, as the service gets them in order.
    m_inspect->notices()->notify(QStringLiteral("Marker"), QStringLiteral("-"));
    QTRY_COMPARE(daemon.summaries().size(), 3);
    QCOMPARE(daemon.summaries()[2], QStringLiteral("Marker"));
}

void TestDesktopNotices::expiredSessionIsNoticedOnlyWhenTheReloginFails_data()
{
    QTest::addColumn<bool>("reloginFails");
    QTest::addColumn<QStringList>("said");
    QTest::newRow("renewed silently") << false << QStringList { QStringLiteral("Marker") };
    QTest::newRow("the relogin fails")
        << true
        << QStringList { QStringLiteral("Could not log in again"), QStringLiteral("Marker") };
}

void TestDesktopNotices::expiredSessionIsNoticedOnlyWhenTheReloginFails()
{
    QFETCH(bool, reloginFails);
    QFETCH(QStringList, said);
    NotificationDaemon daemon(m_home.path());
    logInHidden();
    m_appliance->expireSessions();
    if (reloginFails)
        m_appliance->injectFault(faultOn(standin::Exchange::login, standin::Fault::resetMidAnswer,
                                         std::chrono::milliseconds(0)));

    QCOMPARE(m_window->keepALive(), !reloginFails);
    // A notice of the test's own after it: the service gets notices in order.
    m_inspect->notices()->notify(QStringLiteral("Marker"), QStringLiteral("-"));

    QTRY_COMPARE(daemon.summaries(), said);
    if (reloginFails)
        QCOMPARE(
            daemon.received()[0].body,
            QStringLiteral("Your session expired and logging in again failed: Kindly check "
                           "your network. We are not able to connect with Velmora Appliance."));
    else
        QCOMPARE(m_inspect->trayImage(), "connected");
}

void TestDesktopNotices::changedApplianceIdentityIsNoticedOnce()
{
    NotificationDaemon daemon(m_home.path());
    logInHidden();
    m_inspect->setTickerEnabled(false); // the test gives the ticks
    const auto where = m_appliance->listeners();
    swapKey();

    QVERIFY(!m_window->keepALive());
    QTRY_COMPARE(daemon.summaries(), QStringList { QStringLiteral("Appliance identity changed") });
    QCOMPARE(daemon.received()[0].body.toStdString(),
             velmora::identityChangedNotice("127.0.0.1:" + std::to_string(where.at(0).port)));
    // One keep-alive without an answer: the tray still shows the session.
    QCOMPARE(m_inspect->trayImage(), "connected");
    QVERIFY(!m_window->keepALive());
    QCoreApplication::processEvents();
    m_inspect->notices()->notify(QStringLiteral("Marker"), QStringLiteral("-"));
    QTRY_COMPARE(daemon.summaries().size(), 2);
    QCOMPARE(daemon.summaries()[1], QStringLiteral("Marker"));
    // The new appliance saw two handshakes and not one request.
    QTRY_COMPARE(m_appliance->requestLog().size(), std::size_t(2));
    for (const auto& entry : m_appliance->requestLog()) {
        QCOMPARE(entry.treatment, "handshake-only");
        QVERIFY(entry.method.empty());
    }
}

VELMORA_TEST_MAIN(TestDesktopNotices)
#include "TestDesktopNotices.moc"
