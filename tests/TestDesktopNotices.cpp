#include "support/PortalTestSupport.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include "auth/DesktopNotices.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
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
        QList<Notice> notices;
        static const QRegularExpression argument(QStringLiteral("^   string \"(.*)\"$"));
        QStringList strings;
        bool inCall = false;
        const auto finish = [&] {
            if (inCall && strings.size() >= 4)
                notices.append({ strings[2], strings[3] });
            strings.clear();
        };
        for (const QString& line : QString::fromUtf8(m_said).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("method call"))
                || line.startsWith(QLatin1String("signal"))
                || line.startsWith(QLatin1String("method return"))) {
                finish();
                inCall = line.contains(QLatin1String("member=Notify"));
            } else if (const auto match = argument.match(line); inCall && match.hasMatch()) {
                strings << match.captured(1);
            }
        }
        finish();
        return notices;
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

QString balloonText(QWidget* balloon)
{
    QStringList texts;
    for (const QLabel* label : balloon->findChildren<QLabel*>())
        texts << label->text();
    return texts.join(QLatin1Char('|'));
}

} // namespace

// The notices of a hidden window, on a desktop of the test's own: a real notification service on
// a private session bus, or only the tray's balloon.
class TestDesktopNotices : public QObject
{
    Q_OBJECT

public:
    explicit TestDesktopNotices(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void noticeReachesTheServiceOnceAsPlainText();
    void noNoticeWhileTheWindowShows();
    void clickingANoticeShowsTheWindow();
    void withoutAServiceTheTrayBalloonSpeaks();

private:
    IsolatedHome& m_home;
    std::unique_ptr<VelmoraAuth> m_window;
    std::unique_ptr<VelmoraAuthInspector> m_inspect;
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
    QDir(m_home.configFolder() + QStringLiteral("/Velmora")).removeRecursively();
    m_window = std::make_unique<VelmoraAuth>();
    m_inspect = std::make_unique<VelmoraAuthInspector>(*m_window);
}

void TestDesktopNotices::cleanup()
{
    m_inspect.reset();
    m_window.reset();
}

void TestDesktopNotices::noticeReachesTheServiceOnceAsPlainText()
{
    NotificationDaemon daemon(m_home.path());
    QVERIFY(daemon.isUp());
    const LogTail log(m_home.logFile());

    m_inspect->notices()->notify(QStringLiteral("Some event"),
                                 QStringLiteral("A <b>bold</b> & plain text"));

    QTRY_COMPARE(daemon.displayed(), 1);
    QTRY_COMPARE(daemon.received().size(), 1);
    const QList<Notice> received = daemon.received();
    QCOMPARE(received[0].summary, QStringLiteral("Some event"));
    // The service reads markup in bodies: the text reaches it escaped, so it shows as typed.
    QCOMPARE(received[0].body, QStringLiteral("A &lt;b&gt;bold&lt;/b&gt; &amp; plain text"));
    QVERIFY(log.hasLine("info", "Show notice on the desktop: Some event"));
}

void TestDesktopNotices::noNoticeWhileTheWindowShows()
{
    NotificationDaemon daemon(m_home.path());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_inspect->notices()->notify(QStringLiteral("While shown"), QStringLiteral("-"));
    m_window->showMinimized();
    QTRY_VERIFY(m_window->isMinimized());
    m_inspect->notices()->notify(QStringLiteral("While minimised"), QStringLiteral("-"));
    m_window->hide();
    m_inspect->notices()->notify(QStringLiteral("While hidden"), QStringLiteral("-"));

    // Sent in order: once the last one is there, the first would be too.
    QTRY_COMPARE(daemon.received().size(), 2);
    QCOMPARE(daemon.received()[0].summary, QStringLiteral("While minimised"));
    QCOMPARE(daemon.received()[1].summary, QStringLiteral("While hidden"));
}

void TestDesktopNotices::clickingANoticeShowsTheWindow()
{
    NotificationDaemon daemon(m_home.path());
    m_inspect->notices()->notify(QStringLiteral("Click me"), QStringLiteral("-"));
    QTRY_COMPARE(daemon.displayed(), 1);
    QVERIFY(!m_window->isVisible());
    const LogTail log(m_home.logFile());

    daemon.click();

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
    QVERIFY2(balloonText(balloon).contains(QLatin1String("Balloon title")),
             qPrintable(balloonText(balloon)));
    QVERIFY2(balloonText(balloon).contains(QLatin1String("Balloon text")),
             qPrintable(balloonText(balloon)));
    QVERIFY(log.hasLine("info", "Show notice in the system tray: Balloon title"));
    QTest::mouseClick(balloon, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTRY_VERIFY(m_window->isVisible());
}

VELMORA_TEST_MAIN(TestDesktopNotices)
#include "TestDesktopNotices.moc"
