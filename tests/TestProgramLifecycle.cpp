#include "support/PortalTestSupport.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <memory>
#include <pwd.h>
#include <ranges>
#include <sys/stat.h>
#include <unistd.h>

using standin::Exchange;
using standin::Scheme;

namespace {

// The last line of a teardown that ended in order.
const QString endedLine = QStringLiteral("All background work has ended.");

// When the log's line holding the text was written (the last such line), to the millisecond.
QDateTime loggedAt(const QStringList& log, const QString& text)
{
    for (const QString& line : log | std::views::reverse) {
        if (line.contains(text))
            return QDateTime::fromString(line.mid(1, 23),
                                         QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    }
    return {};
}

} // namespace

// Runs the real program as child processes; the "harness" is the same entry with a timer that
// answers modal boxes and prints them.
class TestProgramLifecycle : public QObject
{
    Q_OBJECT

public:
    explicit TestProgramLifecycle(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void secondCopyIsRefusedWhileTheFirstRuns_data();
    void secondCopyIsRefusedWhileTheFirstRuns();
    void copyStartsWhereNoOtherHoldsTheLock_data();
    void copyStartsWhereNoOtherHoldsTheLock();
    void terminationRequestEndsLikeExit_data();
    void terminationRequestEndsLikeExit();
    void consoleLinesReachATerminal();
    void terminationRequestEndsAKeepAliveThatWaits();
    void exitDuringALoginsSaveEndsInOrder();
    void endWithoutAStuckLoginReportsFailure();
    void commandLineOptionsAnswerWithoutAWindow_data();
    void commandLineOptionsAnswerWithoutAWindow();

private:
    // An empty runtime folder leaves the test's own; "-" unsets XDG_RUNTIME_DIR. An empty value
    // in `extra` unsets that variable.
    QProcess* start(const char* program, const QString& runtimeFolder = {},
                    const QStringList& arguments = {}, const QProcessEnvironment& extra = {});
    // A session an earlier run stored, at the appliance on 127.0.0.1.
    void storeSession(std::uint16_t port);
    // The password "Remember me" keeps, for a login without the form.
    void storeRememberedPassword();
    // Started and past its constructor, so it holds the instance lock.
    bool waitUntilRunning(QProcess* process, int previousStarts);
    int startsInLog() const { return m_log.count(QStringLiteral("Application path: ")); }

    IsolatedHome& m_home;
    LogTail m_log { m_home.logFile() }; // since the case began
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestProgramLifecycle::init()
{
    m_processes.clear();
    // No stored session from an earlier case: each program starts on its login page.
    m_home.clearSettings();
    m_log = LogTail(m_home.logFile());
}

void TestProgramLifecycle::cleanup()
{
    for (auto& process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
}

QProcess* TestProgramLifecycle::start(const char* program, const QString& runtimeFolder,
                                      const QStringList& arguments,
                                      const QProcessEnvironment& extra)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(extra);
    for (const QString& name : extra.keys()) {
        if (extra.value(name).isEmpty())
            environment.remove(name);
    }
    if (runtimeFolder == QLatin1String("-"))
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    else if (!runtimeFolder.isEmpty())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
    process->setProcessEnvironment(environment);
    process->setProgram(QString::fromUtf8(program));
    process->setArguments(arguments);
    process->start();
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

bool TestProgramLifecycle::waitUntilRunning(QProcess* process, int previousStarts)
{
    if (!process->waitForStarted(10000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (startsInLog() <= previousStarts && timer.elapsed() < 20000) {
        if (process->state() == QProcess::NotRunning)
            return false;
        QTest::qWait(50);
    }
    return startsInLog() > previousStarts;
}

void TestProgramLifecycle::secondCopyIsRefusedWhileTheFirstRuns_data()
{
    QTest::addColumn<bool>("plantedRuntimeFolder");
    QTest::newRow("in the same session") << false;
    // Without XDG_RUNTIME_DIR, Qt would fall back to <temporary folder>/runtime-<user>, which any
    // user can make first in a shared temporary folder: another user's cannot switch the lock off.
    QTest::newRow("another user's runtime folder planted") << true;
}

void TestProgramLifecycle::secondCopyIsRefusedWhileTheFirstRuns()
{
    QFETCH(bool, plantedRuntimeFolder);
    QTemporaryDir sharedTemporary;
    if (plantedRuntimeFolder) {
        QVERIFY(::chmod(QFile::encodeName(sharedTemporary.path()).constData(), 01777) == 0);
        const QString planted = sharedTemporary.path() + QStringLiteral("/runtime-")
            + QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name);
        QVERIFY(QDir().mkdir(planted));
        QVERIFY(::chown(QFile::encodeName(planted).constData(), 65534, 65534) == 0);
        qputenv("TMPDIR", QFile::encodeName(sharedTemporary.path()));
    }
    const QString runtimeFolder = plantedRuntimeFolder ? QStringLiteral("-") : QString();
    QProcess* first = start(VELMORA_AUTH_BINARY, runtimeFolder);
    const bool firstRuns = waitUntilRunning(first, startsInLog());
    const int startsBefore = startsInLog();
    // Started hidden, as the desktop does at login, it is refused all the same.
    QProcess* second =
        start(VELMORA_ENTRY_HARNESS, runtimeFolder, { QStringLiteral("--start-hidden") });
    const bool secondEnded = second->waitForFinished(20000);
    qunsetenv("TMPDIR");
    QVERIFY(firstRuns);
    QVERIFY2(secondEnded, "the second copy is refused");
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    QVERIFY2(second->readAllStandardError().contains(
                 "BOX|Error|Another instance of VelmoraAuth is already running."),
             "the refusal is shown in an Error box");
    QCOMPARE(startsInLog(), startsBefore); // no window was made
    QCOMPARE(first->state(), QProcess::Running);
}

void TestProgramLifecycle::copyStartsWhereNoOtherHoldsTheLock_data()
{
    QTest::addColumn<int>("signalNumber"); // what ends the first copy; 0: it runs on
    QTest::newRow("the first has exited") << SIGTERM;
    QTest::newRow("the first crashed") << SIGKILL;
    QTest::newRow("the first runs in another session") << 0;
}

void TestProgramLifecycle::copyStartsWhereNoOtherHoldsTheLock()
{
    QFETCH(int, signalNumber);
    QProcess* first = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(first, startsInLog()));
    QTemporaryDir otherSession;
    if (signalNumber) {
        QCOMPARE(::kill(static_cast<pid_t>(first->processId()), signalNumber), 0);
        QVERIFY(first->waitForFinished(10000));
    } else {
        QFile::setPermissions(otherSession.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QProcess* next = start(VELMORA_ENTRY_HARNESS, signalNumber ? QString() : otherSession.path());
    QVERIFY(waitUntilRunning(next, startsInLog()));
    QVERIFY(!next->readAllStandardError().contains("BOX|"));
    QCOMPARE(next->state(), QProcess::Running);
    QCOMPARE(first->state(), signalNumber ? QProcess::NotRunning : QProcess::Running);
}

void TestProgramLifecycle::terminationRequestEndsLikeExit_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestProgramLifecycle::terminationRequestEndsLikeExit()
{
    QFETCH(int, signalNumber);

    QProcess* program = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(program, startsInLog()));
    QCOMPARE(::kill(static_cast<pid_t>(program->processId()), signalNumber), 0);
    QVERIFY(program->waitForFinished(10000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    // On disk once the process is gone: nothing was left in a buffer.
    QCOMPARE(
        m_log.count(QStringLiteral("Received termination signal %1, quitting.").arg(signalNumber)),
        1);
    // Started from a desktop menu, standard output is the session's journal: no trace lines.
    QVERIFY(!program->readAllStandardOutput().contains("Application path: "));
}

void TestProgramLifecycle::consoleLinesReachATerminal()
{
    // script(1) gives it one.
    QProcess* fromTerminal =
        start("script", {},
              { QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("-c"),
                QStringLiteral(VELMORA_AUTH_BINARY), QStringLiteral("/dev/null") });
    QVERIFY(waitUntilRunning(fromTerminal, startsInLog()));
    QByteArray shown;
    QTRY_VERIFY((shown += fromTerminal->readAllStandardOutput()).contains("Application path: "));
}

void TestProgramLifecycle::storeSession(std::uint16_t port)
{
    QVERIFY(storeValue(u"keep_userid", "7"));
    QVERIFY(storeValue(u"keep_username", "ann"));
    QVERIFY(storeValue(u"keep_k1", "99"));
    QVERIFY(storeValue(u"keep_fixedIP", "127.0.0.1"));
    QVERIFY(storeValue(u"keep_fixedPort", std::to_string(port)));
    QVERIFY(storeValue(u"keepAlive_isHttps", "1"));
}

void TestProgramLifecycle::storeRememberedPassword()
{
    QVERIFY(storeValue(u"username", "ann"));
    QVERIFY(storeValue(u"password", "secret"));
    QVERIFY(storeValue(u"rememberme", "Yes"));
}

void TestProgramLifecycle::terminationRequestEndsAKeepAliveThatWaits()
{
    // The stored session is confirmed at start; the next keep-alive, which the tick runs on the
    // GUI thread, gets its answer a byte a second.
    auto appliance = startAppliance({ { "127.0.0.1", 0, Scheme::https } });
    storeSession(appliance->listeners().at(0).port);
    appliance->scriptAnswer(scripted(Exchange::keepAlive, 200, R"({"status":"success"})"));
    standin::FaultRule drip =
        faultOn(Exchange::keepAlive, standin::Fault::dripFed, std::chrono::seconds(1));
    drip.times = standin::Times::untilCleared();
    appliance->injectFault(drip);

    QProcess* program = start(VELMORA_AUTH_BINARY);
    QVERIFY(program->waitForStarted(10000));
    QVERIFY(appliance->waitUntil(
        [](const std::vector<standin::LoggedRequest>& log) {
            return log.size() >= 2 && log.back().treatment == "drip";
        },
        std::chrono::seconds(20)));
    QTest::qWait(500); // well into the answer

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(::kill(static_cast<pid_t>(program->processId()), SIGTERM), 0);
    QVERIFY(program->waitForFinished(10000));
    QVERIFY2(clock.elapsed() <= 2000, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QVERIFY2(program->exitCode() == 0, program->readAllStandardError().left(2500).constData());
    const QStringList log = m_log.lines();
    QVERIFY(loggedAt(log, QStringLiteral("Received termination signal 15, quitting.")).isValid());
    QVERIFY2(log.last().endsWith(endedLine), qPrintable(log.last()));
    QCOMPARE(storedValue(u"keep_userid"), "7");
}

void TestProgramLifecycle::exitDuringALoginsSaveEndsInOrder()
{
    // The stored session has expired at the appliance: the start-up check logs in again on its own
    // thread, and Exit is pressed just as that login starts to save the new session.
    auto appliance = startAppliance({ { "127.0.0.1", 0, Scheme::https } });
    storeSession(appliance->listeners().at(0).port);
    storeRememberedPassword();
    appliance->scriptAnswer(scripted(Exchange::keepAlive, 200, refusal("Session Expired")));
    appliance->scriptAnswer(
        scripted(Exchange::login, 200,
                 R"({"status":"success","data":{"userid":8,"username":"ann","k1":100}})"));

    QProcessEnvironment exitAt;
    exitAt.insert(QStringLiteral("VELMORA_HARNESS_EXIT_AT"),
                  QStringLiteral("Start keep alive thread."));
    QProcess* program = start(VELMORA_ENTRY_HARNESS, {}, {}, exitAt);
    QVERIFY(program->waitForFinished(20000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QVERIFY2(program->exitCode() == 0, program->readAllStandardError().left(2500).constData());
    const QStringList log = m_log.lines();
    const QDateTime pressed = loggedAt(log, QStringLiteral("Triggered exit button."));
    QVERIFY(pressed.isValid());
    QVERIFY2(log.last().endsWith(endedLine), qPrintable(log.last()));
    const qint64 teardown = pressed.msecsTo(loggedAt(log, endedLine));
    QVERIFY2(teardown <= 2000, qPrintable(QStringLiteral("%1 ms").arg(teardown)));
    // The login was let finish its save: the whole new session is stored, not half of it.
    QCOMPARE(storedValue(u"keep_userid"), "8");
    QCOMPARE(storedValue(u"keep_k1"), "100");
}

void TestProgramLifecycle::endWithoutAStuckLoginReportsFailure()
{
    // A login whose route trace hangs past the teardown's wait: the program still ends at once,
    // but not as if everything had ended in order.
    storeRememberedPassword();
    QProcessEnvironment hang;
    hang.insert(QStringLiteral("VELMORA_FAKE_TRACE_SECONDS"), QStringLiteral("20"));
    hang.insert(QStringLiteral("VELMORA_HARNESS_STEPS"), QStringLiteral("login,exit"));
    QProcess* program = start(VELMORA_ENTRY_HARNESS, {}, {}, hang);
    QVERIFY(program->waitForFinished(15000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), EXIT_FAILURE);
    QVERIFY(m_log.contains(QStringLiteral("start traceroute and getting gateway ip address")));
    QVERIFY(m_log.lines().last().contains(QLatin1String("still under way; ending without it.")));
}

void TestProgramLifecycle::commandLineOptionsAnswerWithoutAWindow_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("said");
    // Help and version on standard output, on a terminal without a display and without a
    // platform plugin to be found; a mistake on standard error, from the window's platform.
    QTest::newRow("--help lists the options")
        << "--help" << 0 << QByteArray("--start-hidden  Start in the system tray");
    QTest::newRow("--help tells of logging in automatically")
        << "--help" << 0 << QByteArray("\"Log in automatically\" in the tray menu");
    QTest::newRow("-h") << "-h" << 0 << QByteArray("--start-hidden  Start in the system tray");
    QTest::newRow("--version") << "--version" << 0 << QByteArray("VelmoraAuth 1.0.0");
    QTest::newRow("an unknown option")
        << "--start-hiden" << 2 << QByteArray("Unknown option 'start-hiden'.");
    QTest::newRow("an argument") << "foo" << 2 << QByteArray("Unexpected argument 'foo'.");
}

void TestProgramLifecycle::commandLineOptionsAnswerWithoutAWindow()
{
    QFETCH(QString, option);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, said);
    // A running copy holds the lock: the answer comes before the single-instance check.
    QProcess* first = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(first, startsInLog()));
    const int startsBefore = startsInLog();

    const QTemporaryDir noPlugins;
    QProcessEnvironment terminal;
    if (exitCode == 0) {
        for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
            terminal.insert(QLatin1String(name), QString());
        terminal.insert(QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"), noPlugins.path());
    }
    QProcess* asked = start(VELMORA_AUTH_BINARY, {}, { option }, terminal);
    QVERIFY(asked->waitForFinished(20000));
    QCOMPARE(asked->exitStatus(), QProcess::NormalExit);
    QCOMPARE(asked->exitCode(), exitCode);
    const QByteArray output =
        exitCode ? asked->readAllStandardError() : asked->readAllStandardOutput();
    QVERIFY2(output.contains(said), output.constData());
    QCOMPARE(startsInLog(), startsBefore);
}

VELMORA_TEST_MAIN(TestProgramLifecycle)
#include "TestProgramLifecycle.moc"
