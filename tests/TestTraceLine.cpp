#include "app/OutsideText.h"
#include "app/Trace.h"
#include "support/PortalTestSupport.h"
#include "support/TestMain.h"

#include <QFile>
#include <QRegularExpression>

#include <thread>

namespace {

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
    void outsideTextStaysOnOneLine_data();
    void outsideTextStaysOnOneLine();
    void outsideTextIsCutWithAMark();
    void outsideTextHidesPasswords();
    void everyEchoOfAPasswordIsHidden_data();
    void everyEchoOfAPasswordIsHidden();

private:
    IsolatedHome& m_home;
};

void TestTraceLine::functionNameDropsReturnTypeAndParameters_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QString>("expected");
    const char* const rows[][3] = {
        { "member", "void VelmoraAuth::startLogin()", "VelmoraAuth::startLogin" },
        { "constructor", "VelmoraAuth::VelmoraAuth(QWidget*)", "VelmoraAuth::VelmoraAuth" },
        { "template return type",
          "std::vector<std::__cxx11::basic_string<char> > VelmoraAuth::traceroute()",
          "VelmoraAuth::traceroute" },
        { "parameters with templates",
          "bool VelmoraAuth::login(std::string, std::map<int, std::pair<int, int> >)",
          "VelmoraAuth::login" },
        { "const member", "int Store::size() const", "Store::size" },
        { "lambda", "VelmoraAuth::startLogin()::<lambda()>",
          "VelmoraAuth::startLogin::<lambda()>" },
        { "lambda with parameters",
          "VelmoraAuth::VelmoraAuth(QWidget*)::<lambda(QSystemTrayIcon::ActivationReason)>",
          "VelmoraAuth::VelmoraAuth::<lambda(QSystemTrayIcon::ActivationReason)>" },
        { "lambda in lambda", "void A::f(int)::<lambda()>::<lambda(bool)>",
          "A::f::<lambda()>::<lambda(bool)>" },
        { "free function", "int main(int, char**)", "main" },
        { "function pointer parameter", "void run(void (*)(int))", "run" },
        { "gcc anonymous namespace", "void {anonymous}::helper()", "{anonymous}::helper" },
        { "clang anonymous namespace", "void (anonymous namespace)::helper()",
          "(anonymous namespace)::helper" },
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
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
    const LogTail log(m_home.logFile());
    const int line = __LINE__ + 1;
    traceInfo("first message of the run");
    traceError("something failed");

    QVERIFY2(QFile::exists(m_home.logFile()), "the first trace line creates the log file");
    const QStringList lines = log.lines();
    QCOMPARE(lines.size(), 2);

    const auto info = traceLinePattern.match(lines.first());
    QVERIFY2(info.hasMatch(), qPrintable(lines.first()));
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
    const LogTail log(m_home.logFile());
    auto step = [] {
        traceInfo("from a lambda");
    };
    step();
    const auto match = traceLinePattern.match(log.lines().last());
    QVERIFY(match.hasMatch());
    QCOMPARE(match.captured(4), "TestTraceLine::lambdaLineNamesItsEnclosingOperation::<lambda()>");
}

void TestTraceLine::levelOutsideRangeWritesNothing()
{
    const LogTail log(m_home.logFile());
    AppLogger::instance().log(static_cast<LogLevel>(6), "f.cpp", "f", 1, "too high");
    AppLogger::instance().log(static_cast<LogLevel>(-1), "f.cpp", "f", 1, "too low");
    AppLogger::instance().log(LogLevel::debug, "f.cpp", "f", 1, "below the default level");
    AppLogger::instance().log(LogLevel::critical, "f.cpp", "f", 1, "highest level");
    const QStringList lines = log.lines();
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.last().contains(QStringLiteral("[critical] [f.cpp:1 in f()] - highest level")));
}

void TestTraceLine::linesFromTwoThreadsArriveWhole()
{
    const LogTail log(m_home.logFile());
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

    const QStringList lines = log.lines();
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

void TestTraceLine::outsideTextStaysOnOneLine_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("plain") << QByteArray("status: fail") << QByteArray("status: fail");
    QTest::newRow("forged line") << QByteArray("x\r\n[2026-01-01] [logger] [info] ok")
                                 << QByteArray("x\\x0D\\x0A[2026-01-01] [logger] [info] ok");
    QTest::newRow("NUL, tab, DEL")
        << QByteArray("a\0b\tc\x7f", 6) << QByteArray("a\\x00b\\x09c\\x7F");
    QTest::newRow("terminal escape")
        << QByteArray("\x1b[2J\x1b]0;title\x07") << QByteArray("\\x1B[2J\\x1B]0;title\\x07");
    QTest::newRow("UTF-8 kept") << QByteArray("Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x94\x92")
                                << QByteArray("Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x94\x92");
    QTest::newRow("C1 control in UTF-8") << QByteArray("a\xc2\x85"
                                                       "b\xc2\x9b")
                                         << QByteArray("a\\xC2\\x85b\\xC2\\x9B");
    QTest::newRow("line separator, right-to-left override")
        << QByteArray("a\xe2\x80\xa8"
                      "b\xe2\x80\xae"
                      "c")
        << QByteArray("a\\xE2\\x80\\xA8b\\xE2\\x80\\xAEc");
    QTest::newRow("right-to-left mark") << QByteArray("a\xe2\x80\x8f"
                                                      "b")
                                        << QByteArray("a\\xE2\\x80\\x8Fb");
    QTest::newRow("left-to-right mark") << QByteArray("a\xe2\x80\x8e"
                                                      "b")
                                        << QByteArray("a\\xE2\\x80\\x8Eb");
    QTest::newRow("Arabic letter mark") << QByteArray("a\xd8\x9c"
                                                      "b")
                                        << QByteArray("a\\xD8\\x9Cb");
    QTest::newRow("paragraph separator, isolate")
        << QByteArray("a\xe2\x80\xa9"
                      "b\xe2\x81\xa7"
                      "c")
        << QByteArray("a\\xE2\\x80\\xA9b\\xE2\\x81\\xA7c");
    QTest::newRow("not UTF-8") << QByteArray("\xff\x80\xc0\xaf\xed\xa0\x80\xe2\x82")
                               << QByteArray("\\xFF\\x80\\xC0\\xAF\\xED\\xA0\\x80\\xE2\\x82");
}

void TestTraceLine::outsideTextStaysOnOneLine()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, written);
    QCOMPARE(QByteArray::fromStdString(velmora::outsideText(value.toStdString())), written);

    // And as a whole line of the log.
    const LogTail log(m_home.logFile());
    traceError("From outside: " + velmora::outsideText(value.toStdString()));
    const QString last = log.lines().constLast();
    QVERIFY(traceLinePattern.match(last).hasMatch());
    QVERIFY(last.endsWith(QString::fromUtf8(written)));
}

void TestTraceLine::outsideTextIsCutWithAMark()
{
    const std::string cut = velmora::outsideText(std::string(8 * 1024 * 1024, 'a'));
    QCOMPARE(cut,
             std::string(velmora::outsideExcerptBytes, 'a')
                 + " [\u2026 cut: 8388608 bytes in all]");
    QCOMPARE(velmora::outsideText(std::string(velmora::outsideExcerptBytes, 'b')),
             std::string(velmora::outsideExcerptBytes, 'b'));

    // Never half of an escape or of a character.
    std::string lineBreaks;
    for (std::size_t i = 0; i < velmora::outsideExcerptBytes / 4; ++i)
        lineBreaks += "\\x0A";
    QCOMPARE(velmora::outsideText(std::string(1000, '\n')),
             lineBreaks + " [\u2026 cut: 1000 bytes in all]");
    std::string accents;
    for (int i = 0; i < 3000; ++i)
        accents += "\xc3\xa9";
    const std::string shown = velmora::outsideText(accents);
    const std::string kept = shown.substr(0, shown.find(' '));
    QCOMPARE(kept.size(), velmora::outsideExcerptBytes);
    QCOMPARE(QString::fromUtf8(kept.data(), int(kept.size())).toUtf8().toStdString(), kept);
}

void TestTraceLine::outsideTextHidesPasswords()
{
    velmora::hideFromOutsideText("pa ss&1");
    velmora::hideFromOutsideText("pa%20ss%261");
    QCOMPARE(velmora::outsideText("password=pa%20ss%261&portal=1 or pa ss&1"),
             std::string("password=********&portal=1 or ********"));
    QCOMPARE(velmora::withoutPasswords("\"pa ss&1\""), std::string("\"********\""));

    // Where the excerpt is cut inside the password, none of it shows.
    const std::string value = std::string(velmora::outsideExcerptBytes - 3, 'x') + "pa ss&1";
    const std::string shown = velmora::outsideText(value);
    QVERIFY2(shown.find("pa") == std::string::npos, shown.c_str());
    QVERIFY(shown.find("cut:") != std::string::npos);

    // Masked echoes take less room than they did: however they fall against the limit, the last
    // one shows in none of its parts, in the log nor in a box.
    velmora::hideFromOutsideText("secret1234");
    for (std::size_t lead = 0; lead < 10; ++lead) {
        std::string echoes(lead, '.');
        for (int echo = 0; echo < 400; ++echo)
            echoes += "secret1234";
        const std::string logged = velmora::outsideText(echoes);
        QVERIFY2(logged.find("sec") == std::string::npos, logged.c_str());
        const std::string boxed = velmora::withoutPasswords(echoes, 1204);
        QVERIFY2(boxed.find("sec") == std::string::npos, boxed.c_str());
    }
}

void TestTraceLine::everyEchoOfAPasswordIsHidden_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("echo");
    const QByteArray punctuated = "p@ss w/rd&+";
    QTest::newRow("as it is") << punctuated << punctuated;
    QTest::newRow("percent, lower-case hex") << punctuated << QByteArray("p%40ss%20w%2frd%26%2B");
    QTest::newRow("form encoding") << punctuated << QByteArray("p%40ss+w%2Frd%26%2B");
    QTest::newRow("percent, '/' left as it is") << punctuated << QByteArray("p%40ss%20w/rd%26%2B");
    QTest::newRow("JSON") << punctuated << QByteArray(R"(p@ss w\/rd&+)");
    QTest::newRow("JSON, \\u escapes")
        << punctuated << QByteArray(R"(p\u0040ss\u0020w\/rd\u0026\u002b)");
    QTest::newRow("HTML, named") << punctuated << QByteArray("p&commat;ss w&sol;rd&amp;&plus;");
    QTest::newRow("HTML, numbers") << punctuated << QByteArray("p&#64;ss w/rd&amp;&#43;");
    QTest::newRow("HTML, hexadecimal") << punctuated << QByteArray("p@ss w/rd&#x26;&#x2B;");
    QTest::newRow("HTML, long names")
        << QByteArray("a|b`c") << QByteArray("a&VerticalLine;b&DiacriticalGrave;c");
    QTest::newRow("every form at once") << punctuated << QByteArray(R"(p%40ss+w\/rd&amp;&#x2b;)");
    const QByteArray accented = "w\xc3\xb6rt \xf0\x9f\x94\x92\"x";
    QTest::newRow("UTF-8, percent") << accented << QByteArray("w%C3%b6rt%20%F0%9F%94%92%22x");
    QTest::newRow("UTF-8, JSON ASCII only")
        << accented << QByteArray(R"(w\u00f6rt \ud83d\udd12\"x)");
    QTest::newRow("UTF-8, HTML") << accented << QByteArray("w&#246;rt &#x1F512;&quot;x");
    // A password that looks encoded itself is hidden as it is and as sent.
    QTest::newRow("a percent in the password") << QByteArray("100%41") << QByteArray("100%2541");
}

void TestTraceLine::everyEchoOfAPasswordIsHidden()
{
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, echo);
    velmora::hideFromOutsideText(password.toStdString());
    const std::string value = "errors=login failed for " + echo.toStdString() + "&portal=1";
    const std::string hidden = "errors=login failed for ********&portal=1";
    QCOMPARE(velmora::outsideText(value), hidden);
    QCOMPARE(velmora::withoutPasswords(value), hidden);
    // Only an echo of the whole password: a part of it, or other text, is left as it is.
    const std::string part = "errors=" + echo.left(echo.size() - 1).toStdString();
    QCOMPARE(velmora::withoutPasswords(part), part);
}

VELMORA_TEST_MAIN(TestTraceLine)
#include "TestTraceLine.moc"
