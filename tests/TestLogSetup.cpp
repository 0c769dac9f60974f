#include "app/AppLogger.h"
#include "app/LogLocation.h"
#include "app/Trace.h"
#include "auth/VelmoraAuth.h"
#include "discovery/RouteTracer.h"
#include "support/PortalTestSupport.h"
#include "support/TestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

// The permission bits of a file or folder, or -1.
int mode(const QString& path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0
        ? static_cast<int>(status.st_mode & 07777)
        : -1;
}

} // namespace

// Runs in its own process: the log is set up once per process, and these cases need to see the
// very first set-up fail.
class TestLogSetup : public QObject
{
    Q_OBJECT

public:
    explicit TestLogSetup(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void unusableLogCostsMicrosecondsAndStopsNothing();
    void setUpIsTriedAgainOnlyAfterThirtySeconds();
    void logIsPrivateAndNotInheritedByTheTracer();
    void existingLogReadableByOthersIsNarrowed();
    void logRotatesAtItsSizeAndKeepsThreePrivateFiles();

private:
    IsolatedHome& m_home;
    QElapsedTimer m_sinceFailure;
};

void TestLogSetup::unusableLogCostsMicrosecondsAndStopsNothing()
{
    // A regular file where the state folder should be: no folder can be made below it.
    const QString blocker = m_home.path() + QStringLiteral("/not-a-folder");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_STATE_HOME", blocker.toUtf8());

    traceInfo("lost line");
    m_sinceFailure.start();
    QElapsedTimer clock;
    clock.start();
    {
        VelmoraAuth window;
        QCOMPARE(window.windowTitle(), "Velmora Auth");
    }
    const qint64 windowMicroseconds = clock.nsecsElapsed() / 1000;
    constexpr int lines = 1000;
    clock.restart();
    for (int line = 0; line < lines; ++line)
        traceInfo("lost line");
    const double perLine = static_cast<double>(clock.nsecsElapsed()) / 1000.0 / lines;
    qInfo("without a log: window made and torn down in %.1f ms, %.2f us per trace line",
          static_cast<double>(windowMicroseconds) / 1000.0, perLine);
    QVERIFY2(perLine < 200, "a trace line does not retry the set-up");
    QVERIFY(!QFile::exists(m_home.logFile()));
}

void TestLogSetup::setUpIsTriedAgainOnlyAfterThirtySeconds()
{
    qputenv("XDG_STATE_HOME", m_home.stateFolder().toUtf8());
    traceInfo("lost line");
    QVERIFY2(!QFile::exists(m_home.logFile()), "not tried again at once");

    const LogTail log(m_home.logFile()); // made before the file: it reads the whole log
    QTest::qWait(static_cast<int>(std::max<qint64>(0, 30500 - m_sinceFailure.elapsed())));
    traceInfo("first line that lands");
    QVERIFY(log.hasLine("info", "first line that lands"));
    QVERIFY(!log.contains("lost line"));
}

void TestLogSetup::logIsPrivateAndNotInheritedByTheTracer()
{
    traceInfo("the log is open");
    QCOMPARE(mode(m_home.stateFolder() + QStringLiteral("/Velmora")), 0700);
    QCOMPARE(mode(m_home.stateFolder() + QStringLiteral("/Velmora/logs")), 0700);
    QCOMPARE(mode(m_home.logFile()), 0600);

    // The tracer runner starts a shell, as it starts the route tracer: it lists what it got.
    const auto inherited = velmora::runTracer("ls -l /proc/$$/fd");
    QVERIFY(inherited && inherited->find("/proc/") == std::string::npos);
    QVERIFY2(inherited && inherited->find("total") != std::string::npos, "the listing ran");
    QVERIFY2(inherited->find("app.log") == std::string::npos, inherited->c_str());
}

void TestLogSetup::existingLogReadableByOthersIsNarrowed()
{
    // As a version that let the logging library make them left them.
    QTemporaryDir home;
    const QString folder = home.path() + QStringLiteral("/Velmora/logs");
    const QString path = folder + QStringLiteral("/app.log");
    QVERIFY(QDir().mkpath(folder));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write("earlier line\n") > 0);
    file.close();
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);

    velmora::prepareLogFile(path.toStdString());
    QCOMPARE(mode(folder), 0700);
    QCOMPARE(mode(path), 0600);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("earlier line\n"));
}

void TestLogSetup::logRotatesAtItsSizeAndKeepsThreePrivateFiles()
{
    traceInfo("before the rotations");
    const QString folder = m_home.stateFolder() + QStringLiteral("/Velmora/logs/");
    const auto size = [](const QString& path) {
        return QFileInfo(path).size();
    };
    // A line of about a kilobyte: four and a half times the size makes four rotations.
    const std::string filler(1000, 'x');
    constexpr std::size_t limit = AppLogger::rotateAtBytes;
    std::size_t written = 0;
    for (int line = 0; written < limit * 4 + limit / 2; ++line) {
        traceInfo("line " + std::to_string(line) + ' ' + filler);
        written += filler.size() + 100;
    }
    traceInfo("after the rotations");

    QDir logs(folder);
    QCOMPARE(logs.entryList(QDir::Files, QDir::Name),
             QStringList({ "app.1.log", "app.2.log", "app.3.log", "app.log" }));
    for (const QString& name : logs.entryList(QDir::Files)) {
        QVERIFY2(size(folder + name) <= qint64(limit), qPrintable(name));
        QCOMPARE(mode(folder + name), 0600);
    }
    // Full files before the newest, and the lines in order across them: app.log goes on from
    // where app.1.log ends.
    QVERIFY(size(folder + QStringLiteral("app.1.log")) > qint64(limit) - 2000);
    QFile newest(folder + QStringLiteral("app.log"));
    QVERIFY(newest.open(QIODevice::ReadOnly));
    const QByteArray tail = newest.readAll();
    QVERIFY(tail.contains("after the rotations"));
    QVERIFY(!tail.contains("before the rotations"));
    QFile previous(folder + QStringLiteral("app.1.log"));
    QVERIFY(previous.open(QIODevice::ReadOnly));
    const QList<QByteArray> previousLines = previous.readAll().trimmed().split('\n');
    const QByteArray firstOfNewest = tail.left(tail.indexOf('\n'));
    const auto lineNumber = [](const QByteArray& line) {
        const int at = line.indexOf("] - line ") + 9;
        return line.mid(at, line.indexOf(' ', at) - at).toInt();
    };
    QCOMPARE(lineNumber(firstOfNewest), lineNumber(previousLines.last()) + 1);
}

VELMORA_TEST_MAIN(TestLogSetup)
#include "TestLogSetup.moc"
