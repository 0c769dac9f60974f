#include "app/Trace.h"
#include "support/TestMain.h"

#include <QFile>
#include <QRegularExpression>

#include <thread>

namespace {

QStringList logLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// "[date time.ms] [logger] [level] [file:line in function()] - message", whole.
const QRegularExpression traceLinePattern(QStringLiteral(
    R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[logger\] \[(\w+)\] \[(\S+):(\d+) in (.+)\(\)\] - (.*)$)"));

} // namespace

class TestTraceLine : public QObject
{
    Q_OBJECT

public:
    explicit TestTraceLine(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void functionNameDropsReturnTypeAndParameters_data();
    void functionNameDropsReturnTypeAndParameters();
    void fileNameLosesItsFolders();
    void lineCarriesFileLineFunctionAndLevel();
    void lambdaLineNamesItsEnclosingOperation();
    void levelOutsideRangeWritesNothing();
    void linesFromTwoThreadsArriveWhole();

private:
    IsolatedHome& m_home;
};

void TestTraceLine::functionNameDropsReturnTypeAndParameters_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QString>("expected");
    QTest::newRow("member") << "void VelmoraAuth::startLogin()"
                            << "VelmoraAuth::startLogin";
    QTest::newRow("constructor") << "VelmoraAuth::VelmoraAuth(QWidget*)"
                                 << "VelmoraAuth::VelmoraAuth";
    QTest::newRow("template return type")
        << "std::vector<std::__cxx11::basic_string<char> > VelmoraAuth::traceroute()"
        << "VelmoraAuth::traceroute";
    QTest::newRow("parameters with templates")
        << "bool VelmoraAuth::login(std::string, std::map<int, std::pair<int, int> >)"
        << "VelmoraAuth::login";
    QTest::newRow("const member") << "int Store::size() const"
                                  << "Store::size";
    QTest::newRow("lambda") << "VelmoraAuth::startLogin()::<lambda()>"
                            << "VelmoraAuth::startLogin::<lambda()>";
    QTest::newRow("lambda with parameters")
        << "VelmoraAuth::VelmoraAuth(QWidget*)::<lambda(QSystemTrayIcon::ActivationReason)>"
        << "VelmoraAuth::VelmoraAuth::<lambda(QSystemTrayIcon::ActivationReason)>";
    QTest::newRow("lambda in lambda") << "void A::f(int)::<lambda()>::<lambda(bool)>"
                                      << "A::f::<lambda()>::<lambda(bool)>";
    QTest::newRow("free function") << "int main(int, char**)"
                                   << "main";
    QTest::newRow("function pointer parameter") << "void run(void (*)(int))"
                                                << "run";
    QTest::newRow("gcc anonymous namespace") << "void {anonymous}::helper()"
                                             << "{anonymous}::helper";
    QTest::newRow("clang anonymous namespace") << "void (anonymous namespace)::helper()"
                                               << "(anonymous namespace)::helper";
}

void TestTraceLine::functionNameDropsReturnTypeAndParameters()
{
    QFETCH(QString, signature);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(velmora::qualifiedFunctionName(signature.toStdString())),
             expected);
}

void TestTraceLine::fileNameLosesItsFolders()
{
    QCOMPARE(velmora::sourceFileName("/work/main/auth/VelmoraAuth.cpp"), "VelmoraAuth.cpp");
    QCOMPARE(velmora::sourceFileName("C:\\src\\portal\\Login.cpp"), "Login.cpp");
    QCOMPARE(velmora::sourceFileName("Plain.cpp"), "Plain.cpp");
}

void TestTraceLine::lineCarriesFileLineFunctionAndLevel()
{
    const int line = __LINE__ + 1;
    traceInfo("first message of the run");
    traceError("something failed");

    QVERIFY2(QFile::exists(m_home.logFile()), "the first trace line creates the log file");
    const QStringList lines = logLines(m_home.logFile());
    QVERIFY(lines.size() >= 2);

    const auto info = traceLinePattern.match(lines.at(lines.size() - 2));
    QVERIFY2(info.hasMatch(), qPrintable(lines.at(lines.size() - 2)));
    QCOMPARE(info.captured(1), "info");
    QCOMPARE(info.captured(2), "TestTraceLine.cpp");
    QCOMPARE(info.captured(3).toInt(), line);
    QCOMPARE(info.captured(4), "TestTraceLine::lineCarriesFileLineFunctionAndLevel");
    QCOMPARE(info.captured(5), "first message of the run");

    const auto error = traceLinePattern.match(lines.last());
    QVERIFY2(error.hasMatch(), qPrintable(lines.last()));
    QCOMPARE(error.captured(1), "error");
    QCOMPARE(error.captured(3).toInt(), line + 1);
    QCOMPARE(error.captured(5), "something failed");
}

void TestTraceLine::lambdaLineNamesItsEnclosingOperation()
{
    auto step = [] {
        traceInfo("from a lambda");
    };
    step();
    const auto match = traceLinePattern.match(logLines(m_home.logFile()).last());
    QVERIFY(match.hasMatch());
    QCOMPARE(match.captured(4), "TestTraceLine::lambdaLineNamesItsEnclosingOperation::<lambda()>");
}

void TestTraceLine::levelOutsideRangeWritesNothing()
{
    traceInfo("before");
    const int before = logLines(m_home.logFile()).size();
    AppLogger::instance().log(static_cast<LogLevel>(6), "f.cpp", "f", 1, "too high");
    AppLogger::instance().log(static_cast<LogLevel>(-1), "f.cpp", "f", 1, "too low");
    AppLogger::instance().log(LogLevel::debug, "f.cpp", "f", 1, "below the default level");
    AppLogger::instance().log(LogLevel::critical, "f.cpp", "f", 1, "highest level");
    const QStringList lines = logLines(m_home.logFile());
    QCOMPARE(lines.size(), before + 1);
    QVERIFY(lines.last().contains(QStringLiteral("[critical] [f.cpp:1 in f()] - highest level")));
}

void TestTraceLine::linesFromTwoThreadsArriveWhole()
{
    const int before = logLines(m_home.logFile()).size();
    constexpr int perThread = 400;
    auto writer = [](char name) {
        const std::string message(120, name);
        for (int i = 0; i < perThread; ++i)
            traceInfo(message);
    };
    std::thread first(writer, 'a');
    std::thread second(writer, 'b');
    first.join();
    second.join();

    const QStringList lines = logLines(m_home.logFile()).mid(before);
    QCOMPARE(lines.size(), 2 * perThread);
    int fromFirst = 0;
    for (const QString& line : lines) {
        const auto match = traceLinePattern.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const QString message = match.captured(5);
        QVERIFY2(message == QString(120, QLatin1Char('a'))
                     || message == QString(120, QLatin1Char('b')),
                 qPrintable(line));
        fromFirst += message.startsWith(QLatin1Char('a'));
    }
    QCOMPARE(fromFirst, perThread);
}

VELMORA_TEST_MAIN(TestTraceLine)
#include "TestTraceLine.moc"
