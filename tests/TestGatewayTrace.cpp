#include "discovery/GatewayList.h"
#include "discovery/RouteTracer.h"
#include "support/TestMain.h"
#include "windows/TracertRecordings.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

// Recorded outputs of Windows' tracert (shared with the Windows layer's tests) and of Debian's
// traceroute, as each prints them.
const QByteArray tracertTwoHops = QByteArray::fromStdString(recorded::twoHopsAnswer);
const char tracerouteTwoHops[] = "traceroute to 8.8.8.8 (8.8.8.8), 2 hops max, 60 byte packets\n"
                                 " 1  192.168.1.1  0.412 ms  0.388 ms  0.377 ms\n"
                                 " 2  10.0.0.1  2.913 ms  2.901 ms  2.880 ms\n";

QStringList gateways(const std::string& output)
{
    std::vector<std::string> list;
    velmora::collectGateways(output, list);
    QStringList result;
    for (const auto& gateway : list)
        result << QString::fromStdString(gateway);
    return result;
}

} // namespace

class TestGatewayTrace : public QObject
{
    Q_OBJECT

public:
    explicit TestGatewayTrace(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void firstAddressIsDroppedAndHopsKept_data();
    void firstAddressIsDroppedAndHopsKept();
    void headerNamesTheDestinationOnce_data();
    void headerNamesTheDestinationOnce();
    void longOutputNeitherOverflowsNorStalls();
    void runnerGivesTheOutputWithTheDestinationOnce();
    void runnerKeepsLongLinesWhole();
    void missingTracerGivesNoGateway();

private:
    // A command that prints exactly what a file holds.
    std::string printing(const QByteArray& output);

    IsolatedHome& m_home;
    QTemporaryDir m_files;
    int m_fileCount = 0;
};

void TestGatewayTrace::firstAddressIsDroppedAndHopsKept_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char* title, const QByteArray& output, QStringList expected) {
        QTest::newRow(title) << output << expected;
    };
    const QStringList two { QStringLiteral("192.168.1.1"), QStringLiteral("10.0.0.1") };
    row("tracert, two hops", tracertTwoHops, two);
    row("tracert, first hop silent", QByteArray::fromStdString(recorded::firstHopTimesOut),
        { QStringLiteral("10.0.0.1") });
    row("tracert, no hop answers", QByteArray::fromStdString(recorded::noHopAnswers), {});
    row("tracert, destination as hop 2", QByteArray(tracertTwoHops).replace("10.0.0.1", "8.8.8.8"),
        { QStringLiteral("192.168.1.1"), QStringLiteral("8.8.8.8") });
    row("no output", QByteArray(), {});
    row("five groups match four", "to 8.8.8.8\n 1  1.2.3.4.5\n", { QStringLiteral("1.2.3.4") });
    row("no range check", "to 8.8.8.8\n 1  999.1.1.1\n", { QStringLiteral("999.1.1.1") });
    row("quads back to back", "to 8.8.8.8\n 1  1.2.3.4.5.6.7.8\n",
        { QStringLiteral("1.2.3.4"), QStringLiteral("5.6.7.8") });
    row("short groups skipped", "8.8.8.8 1.2.3 x1..2.3.4 01.2.3.45x",
        { QStringLiteral("01.2.3.45") });
    // traceroute's output after the runner has named the destination once.
    row("traceroute, two hops",
        "traceroute to 8.8.8.8, 2 hops max, 60 byte packets\n"
        " 1  192.168.1.1  0.412 ms\n 2  10.0.0.1  2.913 ms\n",
        two);
}

void TestGatewayTrace::firstAddressIsDroppedAndHopsKept()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, expected);
    QCOMPARE(gateways(output.toStdString()), expected);
}

void TestGatewayTrace::headerNamesTheDestinationOnce_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("rewritten");
    const auto row = [](const char* title, const QByteArray& output, const QByteArray& rewritten) {
        QTest::newRow(title) << output << rewritten;
    };
    row("traceroute", "traceroute to 8.8.8.8 (8.8.8.8), 2 hops max\n 1  *\n",
        "traceroute to 8.8.8.8, 2 hops max\n 1  *\n");
    row("only the first group", "traceroute to a (b) (c)\n", "traceroute to a (c)\n");
    row("tracert unchanged", tracertTwoHops, tracertTwoHops);
    row("not on the first line", "x\ntraceroute to a (b)\n", "x\ntraceroute to a (b)\n");
    row("group across lines", "traceroute to a (b\n)", "traceroute to a (b\n)");
    row("no name", "traceroute to  (b)", "traceroute to  (b)");
}

void TestGatewayTrace::headerNamesTheDestinationOnce()
{
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, rewritten);
    QCOMPARE(QByteArray::fromStdString(velmora::withDestinationOnce(output.toStdString())),
             rewritten);
}

void TestGatewayTrace::longOutputNeitherOverflowsNorStalls()
{
    // The regex search recursed per digit and rescanned a run from each of its digits.
    const std::string digits(1000000, '7');
    QCOMPARE(gateways("to 8.8.8.8\n 1  " + digits + ".1.1.1\n"),
             QStringList { QString::fromStdString(digits + ".1.1.1") });
    QCOMPARE(gateways("to 8.8.8.8\n" + digits + "\n 1  10.0.0.1\n"),
             QStringList { QStringLiteral("10.0.0.1") });

    const std::string name(1000000, 'a');
    QCOMPARE(velmora::withDestinationOnce("traceroute to " + name + " (8.8.8.8), 2 hops max\n"),
             "traceroute to " + name + ", 2 hops max\n");
}

std::string TestGatewayTrace::printing(const QByteArray& output)
{
    const QString path = m_files.filePath(QStringLiteral("output-%1.txt").arg(++m_fileCount));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(output);
    file.close();
    return "cat '" + path.toStdString() + "'";
}

void TestGatewayTrace::runnerGivesTheOutputWithTheDestinationOnce()
{
    const auto output = velmora::runTracer(printing(tracerouteTwoHops));
    QVERIFY(output);
    QVERIFY2(output->starts_with("traceroute to 8.8.8.8, 2 hops max"), output->c_str());
    QCOMPARE(gateways(*output),
             (QStringList { QStringLiteral("192.168.1.1"), QStringLiteral("10.0.0.1") }));

    // tracert names the destination once already; its output passes unchanged.
    const auto windows = velmora::runTracer(printing(tracertTwoHops));
    QVERIFY(windows);
    QCOMPARE(QByteArray::fromStdString(*windows), tracertTwoHops);
}

void TestGatewayTrace::runnerKeepsLongLinesWhole()
{
    // Read in pieces of at most 127 characters; the pieces must join up in order.
    QByteArray output = "traceroute to 8.8.8.8, 2 hops max\n 1  192.168.1.1 ";
    for (int i = 0; i < 40; ++i)
        output += QByteArray::number(i) + ".25 ms ";
    output += "\n 2  10.0.0.1 end without a line break";
    const auto result = velmora::runTracer(printing(output));
    QVERIFY(result);
    QCOMPARE(QByteArray::fromStdString(*result), output);
}

void TestGatewayTrace::missingTracerGivesNoGateway()
{
    const auto output = velmora::runTracer("no-such-route-tracer-here 8.8.8.8 2>/dev/null");
    QVERIFY(output);
    QVERIFY(gateways(*output).isEmpty());
    // The fake tracer on PATH stands in for the real one in every test.
    const auto fake = velmora::runTracer(velmora::gatewayTraceCommand);
    QVERIFY(fake);
    QVERIFY(gateways(*fake).isEmpty());
}

VELMORA_TEST_MAIN(TestGatewayTrace)
#include "TestGatewayTrace.moc"
