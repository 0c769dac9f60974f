#include "app/Trace.h"
#include "auth/VelmoraAuth.h"
#include "support/TestMain.h"

#include <QFile>

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
    void unusableLogFolderNeitherThrowsNorStopsTheWindow();
    void setUpIsRetriedAtTheNextLine();

private:
    IsolatedHome& m_home;
};

void TestLogSetup::unusableLogFolderNeitherThrowsNorStopsTheWindow()
{
    // A regular file where the state folder should be: no folder can be made below it.
    const QString blocker = m_home.path() + QStringLiteral("/not-a-folder");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_STATE_HOME", blocker.toUtf8());

    traceInfo("lost line");
    VelmoraAuth window;
    QCOMPARE(window.windowTitle(), "Velmora Auth");
    QVERIFY(!QFile::exists(m_home.logFile()));
}

void TestLogSetup::setUpIsRetriedAtTheNextLine()
{
    qputenv("XDG_STATE_HOME", m_home.stateFolder().toUtf8());
    traceInfo("first line that lands");
    QFile log(m_home.logFile());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray content = log.readAll();
    QVERIFY(content.contains("first line that lands"));
    QVERIFY(!content.contains("lost line"));
}

VELMORA_TEST_MAIN(TestLogSetup)
#include "TestLogSetup.moc"
