#include "support/PortalTestSupport.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>
#include <memory>

namespace {

// A desktop of its own (tests/desktop/private-desktop.sh: Xvfb picks a free number), with the
// dots per inch a desktop announces through Xft.dpi, optionally a system tray host, and no session
// bus: the tray is the X one of the tray host, or none.
class XDisplay
{
public:
    XDisplay(int dotsPerInch, bool withTray)
    {
        QStringList arguments { QStringLiteral("--dpi"), QString::number(dotsPerInch),
                                QStringLiteral("--no-bus"), QStringLiteral("--say-display") };
        if (!withTray)
            arguments << QStringLiteral("--no-tray");
        m_desktop.setProcessEnvironment(environment());
        m_desktop.start(QStringLiteral(VELMORA_PRIVATE_DESKTOP),
                        arguments << QStringLiteral("sleep") << QStringLiteral("infinity"));
        if (m_desktop.waitForStarted(5000) && m_desktop.waitForReadyRead(15000))
            m_name = QString::fromLatin1(m_desktop.readLine().trimmed());
    }
    ~XDisplay()
    {
        m_desktop.terminate();
        m_desktop.waitForFinished(5000);
    }

    bool isUp() const { return !m_name.isEmpty(); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_name);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        return environment;
    }

private:
    QProcess m_desktop;
    QString m_name;
};

QString ask(const XDisplay& display, const QString& tool, const QStringList& arguments)
{
    QProcess process;
    process.setProcessEnvironment(display.environment());
    process.start(tool, arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The top-level windows the X server shows (mapped and viewable) in their stacking order, as a
// window manager or a screen sees them: asked of the server, not of the program.
struct ShownWindow
{
    QString id;
    QString title;
};
QList<ShownWindow> shownWindows(const XDisplay& display)
{
    static const QRegularExpression windowId(QStringLiteral("^\\s+(0x[0-9a-f]+) (\"([^\"]*)\")?"));
    QList<ShownWindow> shown;
    const QString children = ask(display, QStringLiteral("xwininfo"),
                                 { QStringLiteral("-root"), QStringLiteral("-children") });
    for (const QString& line : children.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = windowId.match(line);
        if (match.hasMatch()
            && ask(display, QStringLiteral("xwininfo"),
                   { QStringLiteral("-id"), match.captured(1) })
                   .contains(QLatin1String("Map State: IsViewable")))
            shown.append({ match.captured(1), match.captured(3) });
    }
    return shown;
}

int viewableWindowsOf(const XDisplay& display, qint64 pid)
{
    int viewable = 0;
    for (const ShownWindow& window : shownWindows(display))
        viewable += ask(display, QStringLiteral("xprop"),
                        { QStringLiteral("-id"), window.id, QStringLiteral("_NET_WM_PID") })
                        .contains(QStringLiteral("= %1").arg(pid));
    return viewable;
}

// Where the window titled `title` stands among those shown; -1 when it does not show.
int stackingPlace(const XDisplay& display, const QString& title)
{
    const QList<ShownWindow> shown = shownWindows(display);
    for (int place = 0; place < shown.size(); ++place) {
        if (shown[place].title == title)
            return place;
    }
    return -1;
}

// What a login of an earlier day leaves in the store: a session at the appliance.
bool storeSession(standin::StandInAppliance& appliance)
{
    VelmoraAuth earlier;
    VelmoraAuthInspector(earlier).setEndpoint("127.0.0.1", appliance.listeners().at(0).port, true);
    const bool stored = earlier.login("ann", "secret");
    appliance.clearRequestLog();
    return stored;
}

// The appliance takes every keep-alive's connection and request and never answers, until its
// scripts are cleared and its listeners restarted.
void silence(standin::StandInAppliance& appliance)
{
    standin::FaultRule silent =
        faultOn(standin::Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::minutes(10));
    silent.times = standin::Times::untilCleared();
    appliance.injectFault(silent);
}

bool waitForSilentKeepAlive(const standin::StandInAppliance& appliance)
{
    return appliance.waitUntil(
        [](const std::vector<standin::LoggedRequest>& log) {
            return !log.empty() && log.back().treatment == "slow";
        },
        std::chrono::seconds(15));
}

// The program's real entry (the harness) on `display`, working through `steps`; what it printed
// on standard error, once `done` holds for it or the program has ended.
class Run
{
public:
    Run(const XDisplay& display, const QString& steps, const QStringList& arguments = {})
    {
        QProcessEnvironment environment = display.environment();
        environment.insert(QStringLiteral("VELMORA_HARNESS_STEPS"), steps);
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(VELMORA_ENTRY_HARNESS), arguments);
    }
    ~Run()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Whether the program said `text` (after the first `from` bytes of what it said) within the
    // time.
    bool waitFor(const QByteArray& text, int milliseconds = 20000, int from = 0)
    {
        QElapsedTimer timer;
        timer.start();
        while ((m_said += m_process.readAllStandardError()).indexOf(text, from) < 0
               && timer.elapsed() < milliseconds && m_process.state() != QProcess::NotRunning)
            m_process.waitForReadyRead(20);
        m_said += m_process.readAllStandardError();
        return m_said.indexOf(text, from) >= 0;
    }
    // Where what it says from now on starts.
    int mark()
    {
        m_said += m_process.readAllStandardError();
        return m_said.size();
    }
    // A step for the harness, run as soon as the program's GUI thread gets to it.
    void step(const char* name)
    {
        m_process.write(QByteArray(name) + '\n');
        m_process.waitForBytesWritten(1000);
    }
    QByteArray said() const { return m_said; }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_said;
};

} // namespace

// The program on a real X server: with and without a system tray host, and at the scales of
// high-dpi screens.
class TestOnXDisplay : public QObject
{
    Q_OBJECT

public:
    explicit TestOnXDisplay(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void initTestCase();
    void closingTheWindowAndTextsAtEachScale_data();
    void closingTheWindowAndTextsAtEachScale();
    void onlyExitOrASignalEndsTheProgram_data();
    void onlyExitOrASignalEndsTheProgram();
    void hiddenStartRevivesTheStoredSessionInTheTray_data();
    void hiddenStartRevivesTheStoredSessionInTheTray();
    void secondStartShowsAndRaisesTheRunningWindow();
    void silentApplianceNeverHoldsTheWindow_data();
    void silentApplianceNeverHoldsTheWindow();

private:
    // Exit from the tray menu, or SIGTERM: the program ends within 2 s, in order, and says why.
    static void endAsAsked(Run& run, const QString& end, const LogTail& log);

    IsolatedHome& m_home;
};

void TestOnXDisplay::endAsAsked(Run& run, const QString& end, const LogTail& log)
{
    const QDateTime asked = QDateTime::currentDateTime();
    if (end == QLatin1String("exit"))
        run.step("exit");
    else
        ::kill(static_cast<pid_t>(run.process().processId()), SIGTERM);
#ifdef VELMORA_SANITIZED
    // A sanitizer's leak check runs after the program's own end, and takes its time.
    QVERIFY(run.process().waitForFinished(10000));
#else
    QVERIFY(run.process().waitForFinished(2000));
#endif
    QCOMPARE(run.process().exitStatus(), QProcess::NormalExit);
    // What the program said to its end tells why, a sanitizer's report included.
    run.mark();
    QVERIFY2(run.process().exitCode() == 0, run.said().right(4000).constData());
    QVERIFY(log.contains(end == QLatin1String("exit") ? QStringLiteral("Triggered exit button.")
                                                      : QStringLiteral("Received termination")));
    const QString lastLine = log.lines().last();
    QCOMPARE(lastLine.section(QStringLiteral("] - "), 1),
             QStringLiteral("All background work has ended."));
    // The program's own end, by its last line's time: within 2 s of the request.
    const QDateTime ended =
        QDateTime::fromString(lastLine.mid(1, 23), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    QVERIFY2(ended.isValid(), qPrintable(lastLine));
    qInfo("ended %lld ms after it was asked to", asked.msecsTo(ended));
    QVERIFY(asked.msecsTo(ended) < 2000);
}

void TestOnXDisplay::initTestCase()
{
    for (const char* tool : { "Xvfb", "xprop", "trayer" })
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
}

void TestOnXDisplay::closingTheWindowAndTextsAtEachScale_data()
{
    QTest::addColumn<int>("dotsPerInch");
    QTest::addColumn<bool>("withTray");
    QTest::addColumn<QByteArray>("report"); // after the window's close
    QTest::newRow("96 dpi, with a tray host it hides")
        << 96 << true << QByteArray("WINDOW|visible=0|minimized=0|scale=1\n");
    // A bare window manager: hidden, the window could never come back.
    QTest::newRow("144 dpi, without a tray it is minimised")
        << 144 << false << QByteArray("WINDOW|visible=1|minimized=1|scale=1.5\n");
    QTest::newRow("192 dpi, without a tray")
        << 192 << false << QByteArray("WINDOW|visible=1|minimized=1|scale=2\n");
}

void TestOnXDisplay::closingTheWindowAndTextsAtEachScale()
{
    QFETCH(int, dotsPerInch);
    QFETCH(bool, withTray);
    QFETCH(QByteArray, report);
    XDisplay display(dotsPerInch, withTray);
    QVERIFY(display.isUp());
    Run run(display, QStringLiteral("fit,close,report"));
    QVERIFY2(run.waitFor("WINDOW|"), run.said().constData());
    QVERIFY2(run.said().contains("FIT|done"), run.said().constData());
    QVERIFY2(!run.said().contains("CLIPPED|"), run.said().constData());
    QVERIFY2(run.said().contains(report), run.said().constData());
    // Drawn by the CPU: the system's OpenGL stack was never loaded for the window.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(run.process().processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    QVERIFY(!maps.readAll().contains("xcbglintegrations"));
}

void TestOnXDisplay::onlyExitOrASignalEndsTheProgram_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("Exit") << "exit";
    QTest::newRow("SIGTERM") << "signal";
}

void TestOnXDisplay::onlyExitOrASignalEndsTheProgram()
{
    QFETCH(QString, end);
    XDisplay display(96, true);
    QVERIFY(display.isUp());
    const LogTail log(m_home.logFile());
    // The window hidden in the tray, a box over nothing (a login with an empty form), the box
    // closed: the last window of the program has closed, and it goes on.
    Run run(display, QStringLiteral("close,login,report"));
    QVERIFY2(run.waitFor("BOX|Information|Enter valid username"), run.said().constData());
    QVERIFY2(run.waitFor("WINDOW|visible=0"), run.said().constData());
    // Still running: it answers one more step.
    const int from = run.mark();
    run.step("report");
    QVERIFY2(run.waitFor("WINDOW|", 20000, from), run.said().constData());
    endAsAsked(run, end, log);
}

void TestOnXDisplay::hiddenStartRevivesTheStoredSessionInTheTray_data()
{
    QTest::addColumn<bool>("withTray");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<int>("viewable");
    QTest::newRow("started hidden, in the tray") << true << true << 0;
    QTest::newRow("started as usual") << true << false << 1;
    // Nothing could bring a hidden window back: it shows once the tray has had its moment.
    QTest::newRow("started hidden without a tray") << false << true << 1;
}

void TestOnXDisplay::hiddenStartRevivesTheStoredSessionInTheTray()
{
    QFETCH(bool, withTray);
    QFETCH(bool, hidden);
    QFETCH(int, viewable);
    m_home.clearSettings();
    const auto appliance = startAppliance({ { "127.0.0.1", 0, standin::Scheme::https } });
    QVERIFY(storeSession(*appliance));
    XDisplay display(96, withTray);
    QVERIFY(display.isUp());

    Run run(display, QString(),
            hidden ? QStringList { QStringLiteral("--start-hidden") } : QStringList());

    QVERIFY2(run.waitFor("TRAY|connected"), run.said().constData());
    QCOMPARE(appliance->requestLog().at(0).param("pageto"), "ka");
    // The window's mapping comes after the revival at the latest with the tray's moment.
    if (!withTray)
        QTest::qWait(6000);
    QTRY_COMPARE_WITH_TIMEOUT(viewableWindowsOf(display, run.process().processId()), viewable,
                              10000);
    // And it stays so.
    QTest::qWait(1000);
    QCOMPARE(viewableWindowsOf(display, run.process().processId()), viewable);
}

void TestOnXDisplay::secondStartShowsAndRaisesTheRunningWindow()
{
    m_home.clearSettings();
    XDisplay display(96, true);
    QVERIFY(display.isUp());
    Run first(display, QString());
    const QString window = QStringLiteral("Velmora Auth");
    const QString cover = QStringLiteral("xmessage");
    QTRY_VERIFY_WITH_TIMEOUT(stackingPlace(display, window) >= 0, 20000);
    // Another program's window over it, then the window hidden in the tray.
    QProcess over;
    over.setProcessEnvironment(display.environment());
    over.start(
        QStringLiteral("xmessage"),
        { QStringLiteral("-geometry"), QStringLiteral("500x700+0+0"), QStringLiteral("over") });
    QTRY_VERIFY_WITH_TIMEOUT(stackingPlace(display, cover) >= 0, 10000);
    const int coverAbove = stackingPlace(display, cover) > stackingPlace(display, window) ? 1 : -1;
    first.step("close");
    QTRY_COMPARE_WITH_TIMEOUT(stackingPlace(display, window), -1, 10000);

    Run second(display, QString());
    QVERIFY2(second.waitFor("BOX|Error|Another instance of VelmoraAuth is already running."),
             second.said().constData());
    // It may have ended already: waitForFinished is false for a process that has.
    QVERIFY(second.process().state() == QProcess::NotRunning
            || second.process().waitForFinished(10000));
    QCOMPARE(second.process().exitCode(), 1);
    // Shown again, and over the other program's window now.
    QTRY_VERIFY_WITH_TIMEOUT(stackingPlace(display, window) >= 0, 10000);
    QCOMPARE(stackingPlace(display, cover) > stackingPlace(display, window) ? 1 : -1, -coverAbove);
    QCOMPARE(first.process().state(), QProcess::Running);
    over.kill();
    over.waitForFinished(5000);
}

void TestOnXDisplay::silentApplianceNeverHoldsTheWindow_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("Exit") << "exit";
    QTest::newRow("SIGTERM") << "signal";
}

void TestOnXDisplay::silentApplianceNeverHoldsTheWindow()
{
    QFETCH(QString, end);
    m_home.clearSettings();
    const auto appliance = startAppliance({ { "127.0.0.1", 0, standin::Scheme::https } });
    QVERIFY(storeSession(*appliance));
    XDisplay display(96, true);
    QVERIFY(display.isUp());
    const LogTail log(m_home.logFile());
    Run run(display, QString());
    QVERIFY2(run.waitFor("TRAY|connected"), run.said().constData());
    // The revival's keep-alive and one of the ticker's, answered: what the session sends.
    QVERIFY(appliance->waitUntil([](const auto& requests) { return requests.size() >= 2; },
                                 std::chrono::seconds(15)));
    const std::string keepAlive = appliance->requestLog().back().target;

    silence(*appliance);
    QVERIFY(waitForSilentKeepAlive(*appliance));
    QElapsedTimer silent;
    silent.start();
    int from = run.mark();
    QElapsedTimer clock;
    clock.start();
    run.step("close");
    run.step("report");
    QVERIFY2(run.waitFor("WINDOW|visible=0", 1000, from), run.said().mid(from).constData());
    qInfo("the window closed %lld ms after it was asked to", clock.elapsed());

    QVERIFY2(run.waitFor("TRAY|not-connected", 15000, from), run.said().mid(from).constData());
    qInfo("grey in the tray %lld ms after the keep-alive went unanswered", silent.elapsed());
    QVERIFY(silent.elapsed() < 15000);
    // The notice, through the desktop's service or in the tray's balloon.
    const auto noticeShown = [&] {
        return !log.lines()
                    .filter(QStringLiteral("Show notice"))
                    .filter(QStringLiteral(": Appliance not answering"))
                    .isEmpty();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(noticeShown(),
                              qPrintable(log.lines().filter(QStringLiteral("otice")).join('\n')),
                              std::max<qint64>(15000 - silent.elapsed(), 0));

    // It answers again: the session goes on as it was, with the same keep-alive and no login.
    appliance->clearScripts();
    from = run.mark();
    const std::size_t before = appliance->requestLog().size();
    appliance->stopListeners(standin::SessionsOnStop::keep);
    appliance->startListeners();
    QVERIFY2(run.waitFor("TRAY|connected", 15000, from), run.said().mid(from).constData());
    const auto requests = appliance->requestLog();
    QVERIFY(requests.size() > before);
    for (const auto& request : requests)
        QCOMPARE(request.target, keepAlive);

    // Silent again: Exit or a signal ends the program at once all the same, with what it keeps.
    silence(*appliance);
    QVERIFY(waitForSilentKeepAlive(*appliance));
    endAsAsked(run, end, log);
    QVERIFY(QString::fromStdString(keepAlive).contains(
        QStringLiteral("&k1=") + QString::fromStdString(storedValue(u"keep_k1"))));
}

VELMORA_TEST_MAIN(TestOnXDisplay)
#include "TestOnXDisplay.moc"
