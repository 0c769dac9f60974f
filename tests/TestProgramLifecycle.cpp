#include "support/TestMain.h"

#include <QFile>
#include <QProcess>

#include <csignal>
#include <memory>

namespace {

QByteArray readLog(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
    void secondCopyIsRefusedWhileTheFirstRuns();
    void copyStartsAfterTheFirstHasExited();
    void lockOfACrashedCopyDoesNotBlock();
    void copyInAnotherSessionIsNotBlocked();
    void terminationRequestEndsLikeExit_data();
    void terminationRequestEndsLikeExit();

private:
    QProcess* start(const char* program, const QString& runtimeFolder = {});
    // Started and past its constructor, so it holds the instance lock.
    bool waitUntilRunning(QProcess* process, int previousStarts);
    int startsInLog() const
    {
        return static_cast<int>(readLog(m_home.logFile()).count("Application path: "));
    }

    IsolatedHome& m_home;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestProgramLifecycle::init()
{
    m_processes.clear();
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

QProcess* TestProgramLifecycle::start(const char* program, const QString& runtimeFolder)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!runtimeFolder.isEmpty())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
    process->setProcessEnvironment(environment);
    process->setProgram(QString::fromUtf8(program));
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

void TestProgramLifecycle::secondCopyIsRefusedWhileTheFirstRuns()
{
    QProcess* first = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(first, startsInLog()));
    const int startsBefore = startsInLog();

    QProcess* second = start(VELMORA_ENTRY_HARNESS);
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    QVERIFY2(second->readAllStandardOutput().contains(
                 "BOX|Error|Another instance of VelmoraAuth is already running."),
             "the refusal is shown in an Error box");
    QCOMPARE(startsInLog(), startsBefore); // no window was made

    QCOMPARE(first->state(), QProcess::Running);
    first->terminate();
    QVERIFY(first->waitForFinished(10000));
    QCOMPARE(first->exitCode(), 0);
}

void TestProgramLifecycle::copyStartsAfterTheFirstHasExited()
{
    QProcess* first = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(first, startsInLog()));
    first->terminate();
    QVERIFY(first->waitForFinished(10000));

    QProcess* next = start(VELMORA_ENTRY_HARNESS);
    QVERIFY(waitUntilRunning(next, startsInLog()));
    QVERIFY(!next->readAllStandardOutput().contains("BOX|"));
    next->terminate();
    QVERIFY(next->waitForFinished(10000));
    QCOMPARE(next->exitCode(), 0);
}

void TestProgramLifecycle::lockOfACrashedCopyDoesNotBlock()
{
    QProcess* crashed = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(crashed, startsInLog()));
    crashed->kill();
    QVERIFY(crashed->waitForFinished(10000));

    QProcess* next = start(VELMORA_ENTRY_HARNESS);
    QVERIFY(waitUntilRunning(next, startsInLog()));
    QVERIFY(!next->readAllStandardOutput().contains("BOX|"));
    QCOMPARE(next->state(), QProcess::Running);
}

void TestProgramLifecycle::copyInAnotherSessionIsNotBlocked()
{
    QProcess* first = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(first, startsInLog()));

    QTemporaryDir otherSession;
    QFile::setPermissions(otherSession.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess* other = start(VELMORA_ENTRY_HARNESS, otherSession.path());
    QVERIFY(waitUntilRunning(other, startsInLog()));
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(other->state(), QProcess::Running);
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
    const QByteArray lastLine =
        "Received termination signal " + QByteArray::number(signalNumber) + ", quitting.";
    const int linesBefore = static_cast<int>(readLog(m_home.logFile()).count(lastLine));

    QProcess* program = start(VELMORA_AUTH_BINARY);
    QVERIFY(waitUntilRunning(program, startsInLog()));
    QCOMPARE(::kill(static_cast<pid_t>(program->processId()), signalNumber), 0);
    QVERIFY(program->waitForFinished(10000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    // On disk once the process is gone: nothing was left in a buffer.
    QCOMPARE(static_cast<int>(readLog(m_home.logFile()).count(lastLine)), linesBefore + 1);
}

VELMORA_TEST_MAIN(TestProgramLifecycle)
#include "TestProgramLifecycle.moc"
