#include "support/TestMain.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <memory>

namespace {

// A virtual X display of its own (Xvfb picks a free number), with the dots per inch a desktop
// announces through the Xft.dpi resource, and optionally a system tray host on it.
class XDisplay
{
public:
    XDisplay(int dotsPerInch, bool withTray)
    {
        m_server.setProgram(QStringLiteral("Xvfb"));
        // -noreset: the resource set below would go with the last client otherwise.
        m_server.setArguments({ QStringLiteral("-displayfd"), QStringLiteral("1"),
                                QStringLiteral("-noreset"), QStringLiteral("-nolisten"),
                                QStringLiteral("tcp"), QStringLiteral("-screen"),
                                QStringLiteral("0"), QStringLiteral("1600x1400x24") });
        m_server.start();
        if (!m_server.waitForStarted(5000) || !m_server.waitForReadyRead(10000))
            return;
        m_name = QLatin1Char(':') + QString::fromLatin1(m_server.readLine().trimmed());
        QProcess::execute(QStringLiteral("xprop"),
                          { QStringLiteral("-display"), m_name, QStringLiteral("-root"),
                            QStringLiteral("-f"), QStringLiteral("RESOURCE_MANAGER"),
                            QStringLiteral("8s"), QStringLiteral("-set"),
                            QStringLiteral("RESOURCE_MANAGER"),
                            QStringLiteral("Xft.dpi:\t%1").arg(dotsPerInch) });
        if (withTray) {
            m_tray.setProgram(QStringLiteral("trayer"));
            m_tray.setProcessEnvironment(environment());
            m_tray.start();
            m_tray.waitForStarted(5000);
        }
    }
    ~XDisplay()
    {
        for (QProcess* process : { &m_tray, &m_server }) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                process->waitForFinished(5000);
            }
        }
    }

    bool isUp() const { return !m_name.isEmpty(); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_name);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // No session bus: the tray is the X one of the tray host, or none.
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        return environment;
    }

private:
    QProcess m_server;
    QProcess m_tray;
    QString m_name;
};

// The program's real entry (the harness) on `display`, working through `steps`; what it printed
// on standard error, once `done` holds for it or the program has ended.
class Run
{
public:
    Run(const XDisplay& display, const QString& steps)
    {
        QProcessEnvironment environment = display.environment();
        environment.insert(QStringLiteral("VELMORA_HARNESS_STEPS"), steps);
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(VELMORA_ENTRY_HARNESS), QStringList());
    }
    ~Run()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool waitFor(const QByteArray& text, int milliseconds = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!(m_said += m_process.readAllStandardError()).contains(text)
               && timer.elapsed() < milliseconds && m_process.state() != QProcess::NotRunning)
            m_process.waitForReadyRead(100);
        m_said += m_process.readAllStandardError();
        return m_said.contains(text);
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
    void closingTheWindow_data();
    void closingTheWindow();
    void onlyExitOrASignalEndsTheProgram_data();
    void onlyExitOrASignalEndsTheProgram();
    void noTextIsClippedAtAnyScale_data();
    void noTextIsClippedAtAnyScale();

private:
    IsolatedHome& m_home;
};

void TestOnXDisplay::initTestCase()
{
    for (const char* tool : { "Xvfb", "xprop", "trayer" })
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
}

void TestOnXDisplay::closingTheWindow_data()
{
    QTest::addColumn<bool>("withTray");
    QTest::addColumn<QByteArray>("state");
    QTest::newRow("with a tray host it hides") << true << QByteArray("visible=0|minimized=0");
    // A bare window manager: hidden, the window could never come back.
    QTest::newRow("without a tray it is minimised") << false << QByteArray("visible=1|minimized=1");
}

void TestOnXDisplay::closingTheWindow()
{
    QFETCH(bool, withTray);
    QFETCH(QByteArray, state);
    XDisplay display(96, withTray);
    QVERIFY(display.isUp());
    Run run(display, QStringLiteral("close,report"));
    QVERIFY2(run.waitFor("WINDOW|"), run.said().constData());
    QVERIFY2(run.said().contains("WINDOW|" + state), run.said().constData());
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
    // The window hidden in the tray, a box over nothing (a login with an empty form), the box
    // closed: the last window of the program has closed, and it goes on.
    Run run(display,
            QStringLiteral("close,login,report") + (end == QLatin1String("exit") ? ",exit" : ""));
    QVERIFY2(run.waitFor("BOX|Information|Enter valid username"), run.said().constData());
    QVERIFY2(run.waitFor("WINDOW|visible=0"), run.said().constData());
    QTest::qWait(500);
    if (end == QLatin1String("signal")) {
        QCOMPARE(run.process().state(), QProcess::Running);
        ::kill(static_cast<pid_t>(run.process().processId()), SIGTERM);
    }
    QVERIFY(run.process().state() == QProcess::NotRunning || run.process().waitForFinished(10000));
    QCOMPARE(run.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process().exitCode(), 0);
    QFile log(m_home.logFile());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray lastLines = log.readAll().right(400);
    QVERIFY2(lastLines.contains(end == QLatin1String("exit") ? "Triggered exit button."
                                                             : "Received termination signal"),
             lastLines.constData());
}

void TestOnXDisplay::noTextIsClippedAtAnyScale_data()
{
    QTest::addColumn<int>("dotsPerInch");
    QTest::addColumn<QByteArray>("scale");
    QTest::newRow("96 dpi, scale 1") << 96 << QByteArray("scale=1\n");
    QTest::newRow("144 dpi, scale 1.5") << 144 << QByteArray("scale=1.5\n");
    QTest::newRow("192 dpi, scale 2") << 192 << QByteArray("scale=2\n");
}

void TestOnXDisplay::noTextIsClippedAtAnyScale()
{
    QFETCH(int, dotsPerInch);
    QFETCH(QByteArray, scale);
    XDisplay display(dotsPerInch, false);
    QVERIFY(display.isUp());
    Run run(display, QStringLiteral("fit,report"));
    QVERIFY2(run.waitFor("WINDOW|"), run.said().constData());
    QVERIFY2(run.said().contains("FIT|done"), run.said().constData());
    QVERIFY2(!run.said().contains("CLIPPED|"), run.said().constData());
    QVERIFY2(run.said().contains(scale), run.said().constData());
}

VELMORA_TEST_MAIN(TestOnXDisplay)
#include "TestOnXDisplay.moc"
