#include "ApplianceTestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <signal.h>

using namespace appliancetest;

namespace {

// Reads the program's output line by line until a line matches, keeping what it read.
class OutputReader
{
public:
    explicit OutputReader(QProcess& process)
        : m_process(process)
    {
    }

    QString waitForLine(const QRegularExpression& pattern, int timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                m_lines << line;
                if (pattern.match(line).hasMatch())
                    return line;
            }
            if (timer.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning)
                return {};
            m_process.waitForReadyRead(100);
        }
    }

    QString everything() const { return m_lines.join('\n'); }

private:
    QProcess& m_process;
    QStringList m_lines;
};

} // namespace

// The program around the library, as a person or a script runs it.
class TestApplianceCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void helpPrintsUsage();
    void servesUntilSignalledAndPrintsRequestsWithoutPasswords_data();
    void servesUntilSignalledAndPrintsRequestsWithoutPasswords();
    void refusesToStart_data();
    void refusesToStart();
};

void TestApplianceCommandLine::helpPrintsUsage()
{
    QProcess program;
    program.start(APPLIANCE_PROGRAM, { "--help" });
    QVERIFY(program.waitForFinished(5000));
    QCOMPARE(program.exitCode(), 0);
    const QString usage = QString::fromUtf8(program.readAllStandardOutput());
    QVERIFY(usage.startsWith("Usage: velmora-appliance --listen"));
    for (const char* option : { "--user", "--block", "--session-lifetime", "--control", "--cert" })
        QVERIFY2(usage.contains(option), option);
}

void TestApplianceCommandLine::servesUntilSignalledAndPrintsRequestsWithoutPasswords_data()
{
    QTest::addColumn<int>("stopSignal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestApplianceCommandLine::servesUntilSignalledAndPrintsRequestsWithoutPasswords()
{
    QFETCH(int, stopSignal);
    QProcess program;
    program.start(APPLIANCE_PROGRAM,
                  { "--listen", "127.0.0.6:0:https", "--listen", "127.0.0.6:0:http", "--user",
                    "ann:s3cr:et", "--control", "127.0.0.6:0" });
    OutputReader output(program);
    const QRegularExpression ready("^listening on https://127\\.0\\.0\\.6:(\\d+)$");
    const QString first = output.waitForLine(ready);
    QVERIFY2(!first.isEmpty(), qPrintable(output.everything()));
    QVERIFY(!output.waitForLine(QRegularExpression("^listening on http://127\\.0\\.0\\.6:\\d+$"))
                 .isEmpty());
    QVERIFY(!output.waitForLine(QRegularExpression("^controls on http://127\\.0\\.0\\.6:\\d+$"))
                 .isEmpty());

    const auto port = static_cast<std::uint16_t>(ready.match(first).captured(1).toUInt());
    const auto result = clientFor({ "127.0.0.6", port, standin::Scheme::https })
                            ->Get(loginTarget("ann", "s3cr:et").c_str());
    QVERIFY(result);
    QCOMPARE(nlohmann::json::parse(result->body).at("status"), "success");
    const QString logged = output.waitForLine(QRegularExpression("GET /index\\.php"));
    QVERIFY2(logged.contains("&password=***&portal=1") && logged.endsWith("-> 200"),
             qPrintable(logged));
    QVERIFY(!logged.contains("s3cr"));

    ::kill(static_cast<pid_t>(program.processId()), stopSignal);
    QVERIFY(program.waitForFinished(5000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!output.waitForLine(QRegularExpression("^stopping on ")).isEmpty());
}

void TestApplianceCommandLine::refusesToStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("address outside loopback") << QStringList { "--listen", "10.1.2.3:8090:https" }
                                              << 2 << "only IPv4 loopback addresses (127.0.0.0/8)";
    QTest::newRow("no listener") << QStringList { "--user", "ann:pw" } << 2
                                 << "at least one --listen";
    QTest::newRow("unknown option") << QStringList { "--listen", "127.0.0.1:0", "--verbose" } << 2
                                    << "unknown option \"--verbose\"";
    QTest::newRow("blocking an unknown account")
        << QStringList { "--listen", "127.0.0.1:0", "--block", "bob" } << 2 << "--block bob";
    QTest::newRow("port taken") << QStringList { "--listen", "BUSY" } << 1
                                << "cannot listen on https://127.0.0.6:";
    QTest::newRow("certificate missing")
        << QStringList { "--listen", "127.0.0.1:0:https", "--cert", "/nonexistent/c.pem",
                         "--key",    "/nonexistent/k.pem" }
        << 1 << "cannot open the certificate file /nonexistent/c.pem";
}

void TestApplianceCommandLine::refusesToStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    standin::Options occupier;
    occupier.listeners = { { "127.0.0.6", 0, standin::Scheme::https } };
    const standin::StandInAppliance busy(occupier);
    arguments.replaceInStrings("BUSY", QString("127.0.0.6:%1").arg(busy.listeners().at(0).port));

    QProcess program;
    program.start(APPLIANCE_PROGRAM, arguments);
    QVERIFY(program.waitForFinished(5000));
    QCOMPARE(program.exitCode(), exitCode);
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(errors.startsWith("velmora-appliance: ") && errors.contains(message),
             qPrintable(errors));
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestApplianceCommandLine)
#include "TestApplianceCommandLine.moc"
