#include "app/OutsideText.h"
#include "auth/InformationBox.h"
#include "portal/PortalRequests.h"
#include "support/ModalBoxes.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

#include <QAction>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>

using standin::Exchange;
using standin::Fault;
using standin::Scheme;

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Exchange)
Q_DECLARE_METATYPE(std::string)

namespace {

using namespace std::chrono_literals;

const char networkMessage[] =
    "Kindly check your network. We are not able to connect with Velmora Appliance.";
const char richText[] = R"(<h1>Update required</h1><a href="http://127.0.0.9/x">Click here</a>)"
                        R"(<img src="http://127.0.0.9/pixel.png">)";
// A whole trace line of the log, forged: if it were written unescaped, it would stand on a line
// of its own and look like one of the program's.
const char forgedLine[] = "\r\n[2026-01-01 00:00:00.000] [logger] [info] [LogoutExchange.cpp:60 "
                          "in VelmoraAuth::logout()] - Successfully logout.\x1b[2K\x1b]0;t\x07";
constexpr std::chrono::milliseconds testDeadline = 2s;

long peakResidentKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A socket listening on a free loopback port, with the given backlog; the address it has.
int listenOnLoopback(int backlog, sockaddr_in& address)
{
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, backlog);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    return listener;
}

// A loopback port whose listener takes no connection: its one-place queue is full, so the
// system drops the next connection's first packet and the connection attempt hangs.
class UnansweredPort
{
public:
    UnansweredPort()
        : m_listener(listenOnLoopback(0, m_address))
    {
        m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(m_filler, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address);
    }
    ~UnansweredPort()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    std::uint16_t port() const { return ntohs(m_address.sin_port); }

private:
    sockaddr_in m_address {};
    int m_listener = -1;
    int m_filler = -1;
};

// A loopback port that answers one connection with the given bytes, whatever was asked, and
// closes it.
class RawAnswer
{
public:
    explicit RawAnswer(std::string answer)
    {
        sockaddr_in address {};
        m_listener = listenOnLoopback(1, address);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, answer = std::move(answer)] {
            const int connection = ::accept(m_listener, nullptr, nullptr);
            if (connection < 0)
                return;
            char request[4096];
            [[maybe_unused]] const ssize_t read = ::recv(connection, request, sizeof request, 0);
            ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::shutdown(connection, SHUT_WR);
            while (::recv(connection, request, sizeof request, 0) > 0) { }
            ::close(connection);
        });
    }
    ~RawAnswer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    std::uint16_t port() const { return m_port; }

private:
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

// What the program wrote to standard output while `run` ran.
template<typename Run> QByteArray printedBy(Run&& run)
{
    StdoutCapture capture;
    run();
    return capture.text();
}

} // namespace

// The appliance as an attacker would run it: answers built to exhaust memory, hold the program,
// draw in its boxes, forge its log and read back the password. Every exchange ends as it ends
// for no answer, or reads what it can safely; the whole suite costs the test process less than
// 32 MiB at its peak.
class TestHostileAppliance : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestHostileAppliance(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void everyExchangeEndsAsWithNoAnswer_data();
    void everyExchangeEndsAsWithNoAnswer();
    void fastEndlessHeadsNeverCostMemory_data();
    void fastEndlessHeadsNeverCostMemory();
    void answersUpToTheLimitsAreRead();
    void linesWithoutAStatusAreNoAnswer_data();
    void linesWithoutAStatusAreNoAnswer();
    void connectionAttemptIsCutOff();
    void exitDuringAConnectionAttemptEndsAtOnce();
    void refusalsAreShownAsShortPlainText();
    void forgedLinesStayOnTheirLine_data();
    void forgedLinesStayOnTheirLine();
    void passwordEchoedInAnyFormIsHidden_data();
    void passwordEchoedInAnyFormIsHidden();
    void steeringCharactersReachNeitherBoxNorConsole();
    void logGrowthPerKeepAliveIsBounded();

private:
    // Runs one exchange; the result it returned.
    bool run(Exchange exchange);

    long m_peakBefore = 0;
};

void TestHostileAppliance::initTestCase()
{
    m_appliance =
        startAppliance({ { "127.0.0.1", 0, Scheme::https }, { "127.0.0.1", 0, Scheme::http } });
    // One whole session first: the client module, the TLS library and Qt's own caches are in
    // place before the peak is taken.
    init();
    logIn();
    QVERIFY(m_window->keepALive());
    cleanup();
    m_peakBefore = peakResidentKilobytes();
}

void TestHostileAppliance::init()
{
    m_home.clearSettings();
    startWindow();
    m_inspect->setRequestDeadline(testDeadline);
}

void TestHostileAppliance::cleanup()
{
    m_inspect.reset();
    m_window.reset();
    m_appliance->clearScripts();
    m_appliance->clearRequestLog();
}

void TestHostileAppliance::cleanupTestCase()
{
    m_appliance.reset();
    const long grown = peakResidentKilobytes() - m_peakBefore;
    qInfo("peak resident memory: %ld kB before the cases, grown by %ld kB over them", m_peakBefore,
          grown);
#ifndef VELMORA_SANITIZED
    QVERIFY2(grown < 32 * 1024, qPrintable(QStringLiteral("grew by %1 kB").arg(grown)));
#endif
}

bool TestHostileAppliance::run(Exchange exchange)
{
    switch (exchange) {
    case Exchange::keepAlive:
        return m_window->keepALive();
    case Exchange::login:
        return m_window->login("ann", "secret");
    case Exchange::logout:
        return m_window->logout();
    default:
        return m_window->isVelmora("127.0.0.1", m_appliance->listeners().at(0).port);
    }
}

void TestHostileAppliance::everyExchangeEndsAsWithNoAnswer_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("why");
    QTest::addColumn<std::string>("encoding"); // of a compressed answer
    const QString tooLarge =
        QStringLiteral("The answer was cut off: its body is larger than 65536 bytes.");
    const QString headTooLarge = QStringLiteral(
        "The answer was cut off: the appliance sent more than 32768 bytes before the body.");
    const struct
    {
        const char* name;
        Fault fault;
        QString why;
        std::string encoding = "gzip";
    } faults[] = {
        { "10 MiB body", Fault::hugeBody, tooLarge },
        { "endless chunked body", Fault::endlessChunked, tooLarge },
        { "gzip body", Fault::compressed,
          QStringLiteral("The answer was refused: it came encoded (Content-Encoding: gzip), and "
                         "only plain answers are read.") },
        { "gzip body said to be identity first", Fault::compressed,
          QStringLiteral("The answer was refused: it came encoded (Content-Encoding: identity, "
                         "gzip), and only plain answers are read."),
          "identity, gzip" },
        { "a byte a second", Fault::dripFed,
          QStringLiteral("The request was cut off: no whole answer within 2 seconds.") },
        { "endless headers", Fault::endlessHeaders, headTooLarge },
        { "endless status line", Fault::longStatusLine, headTooLarge },
    };
    const std::pair<const char*, Exchange> exchanges[] = { { "keep-alive", Exchange::keepAlive },
                                                           { "login", Exchange::login },
                                                           { "logout", Exchange::logout },
                                                           { "probe", Exchange::probe } };
    for (const auto& [name, exchange] : exchanges) {
        for (const auto& fault : faults)
            QTest::addRow("%s, %s", name, fault.name)
                << exchange << fault.fault << fault.why << fault.encoding;
    }
}

void TestHostileAppliance::everyExchangeEndsAsWithNoAnswer()
{
    QFETCH(Exchange, exchange);
    QFETCH(Fault, fault);
    QFETCH(QString, why);
    QFETCH(std::string, encoding);
    logIn();
    standin::FaultRule rule = faultOn(exchange, fault, 1s);
    rule.size = std::size_t(1) << 30;
    rule.encoding = encoding;
    m_appliance->injectFault(rule);
    const LogTail log(m_home.logFile());

    QElapsedTimer timer;
    timer.start();
    QVERIFY(!run(exchange));
    const qint64 took = timer.elapsed();
    qInfo("ended after %lld ms", took);

    QVERIFY2(took < testDeadline.count() + 1500, qPrintable(QStringLiteral("%1 ms").arg(took)));
    QVERIFY(log.hasLine("error", why));
    QCOMPARE(m_appliance->requestLog().size(), std::size_t(1));
    QVERIFY2(!m_appliance->requestLog().front().acceptEncoding, "no compression is asked for");
    if (exchange == Exchange::probe) {
        QVERIFY(log.hasLine("error", "Not gettring any response"));
        QCOMPARE(m_inspect->fixedIP(), "127.0.0.1");
        return;
    }
    QCOMPARE(m_inspect->errorMessage(), networkMessage);
    if (exchange == Exchange::logout) {
        QVERIFY(!m_inspect->tickerEnabled());
        QVERIFY(m_inspect->isLoggedIn());
    } else {
        expectSessionIntact();
        QVERIFY2(m_window->keepALive(), "the next tick keeps the session alive");
    }
}

void TestHostileAppliance::fastEndlessHeadsNeverCostMemory_data()
{
    QTest::addColumn<bool>("https");
    QTest::addColumn<Fault>("fault");
    QTest::newRow("216,000-byte status line at once, http") << false << Fault::longStatusLine;
    QTest::newRow("216,000-byte status line at once, https") << true << Fault::longStatusLine;
    QTest::newRow("endless headers, http") << false << Fault::endlessHeaders;
    QTest::newRow("endless headers, https") << true << Fault::endlessHeaders;
}

void TestHostileAppliance::fastEndlessHeadsNeverCostMemory()
{
    // The whole line is on the connection before the client reads a byte of it: only a limit
    // the client library itself keeps holds it.
    QFETCH(bool, https);
    QFETCH(Fault, fault);
    constexpr int tries = 100;
    logIn();
    m_inspect->setEndpoint("127.0.0.1", m_appliance->listeners().at(https ? 0 : 1).port, https);
    standin::FaultRule rule = faultOn(Exchange::keepAlive, fault);
    rule.times = standin::Times::n(tries);
    rule.size = 216000 - std::string_view("HTTP/1.1 200 ").size();
    m_appliance->injectFault(rule);
    const LogTail log(m_home.logFile());
    const long peakBefore = peakResidentKilobytes();

    for (int i = 0; i < tries; ++i)
        QVERIFY(!m_window->keepALive());

    QCOMPARE(log.count(QStringLiteral("The answer was cut off: the appliance sent more than 32768 "
                                      "bytes before the body.")),
             tries);
    QCOMPARE(m_appliance->requestLog().size(), std::size_t(tries));
    expectSessionIntact();
    QVERIFY(m_window->keepALive());
    const long grown = peakResidentKilobytes() - peakBefore;
    qInfo("peak resident memory grown by %ld kB over %d answers", grown, tries);
#ifndef VELMORA_SANITIZED
    QVERIFY2(grown < 32 * 1024, qPrintable(QStringLiteral("grew by %1 kB").arg(grown)));
#endif
}

void TestHostileAppliance::answersUpToTheLimitsAreRead()
{
    // 28000 characters of reason phrase, under the head's limit: read as any status line is,
    // on the calling thread's own stack.
    logIn();
    standin::FaultRule rule = faultOn(Exchange::keepAlive, Fault::longStatusLine);
    rule.size = 28000;
    m_appliance->injectFault(rule);
    QVERIFY(m_window->keepALive());
    QCOMPARE(m_appliance->requestLog().front().treatment, "long-status-line");

    // A body of the limit is read whole, one byte more is not.
    const std::string limit(64 * 1024, 'x');
    m_appliance->scriptAnswer(scripted(Exchange::logout, 200, limit));
    QVERIFY(!m_window->logout());
    QCOMPARE(m_inspect->errorMessage(), limit); // the refusal, read whole

    const LogTail log(m_home.logFile());
    m_appliance->scriptAnswer(scripted(Exchange::logout, 200, limit + 'x'));
    QVERIFY(!m_window->logout());
    QCOMPARE(m_inspect->errorMessage(), networkMessage);
    QVERIFY(log.hasLine("error", "The answer was cut off: its body is larger than 65536 bytes."));
    QCOMPARE(m_appliance->requestLog().size(), std::size_t(3));
}

void TestHostileAppliance::linesWithoutAStatusAreNoAnswer_data()
{
    QTest::addColumn<std::string>("answer");
    QTest::newRow("no version") << std::string("HTTP/200 : 12\r\n\r\n{\"status\":\"success\"}");
    QTest::newRow("five digits") << std::string("HTTP/210200\a`\xbb"
                                                "0\aK\r\v\r\n111ex");
}

void TestHostileAppliance::linesWithoutAStatusAreNoAnswer()
{
    // A first line that only begins like a status line: no status, so no answer, not a refusal.
    QFETCH(std::string, answer);
    const RawAnswer raw(answer);
    m_inspect->setEndpoint("127.0.0.1", raw.port(), false);
    m_inspect->setSession("7", "ann", "99");
    m_inspect->setFlags(true, false);
    QVERIFY(!m_window->keepALive());
    QCOMPARE(m_inspect->errorMessage(), networkMessage);
}

void TestHostileAppliance::connectionAttemptIsCutOff()
{
    const UnansweredPort silent;
    m_inspect->setEndpoint("127.0.0.1", silent.port(), true);
    m_inspect->setSession("7", "ann", "99");
    m_inspect->setFlags(true, false);
    const LogTail log(m_home.logFile());

    // At the deadline, though the connection was never made.
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!m_window->keepALive());
    QVERIFY2(timer.elapsed() < testDeadline.count() + 1000,
             qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
    QVERIFY(log.hasLine("error", "The request was cut off: no whole answer within 2 seconds."));

    // And at once when the program ends, from another thread.
    m_inspect->setRequestDeadline(60s);
    auto pending = std::async(std::launch::async, [this] { return m_window->keepALive(); });
    QVERIFY(pending.wait_for(500ms) == std::future_status::timeout);
    timer.restart();
    m_inspect->cancelRequests();
    QVERIFY(pending.wait_for(1s) == std::future_status::ready);
    QVERIFY(!pending.get());
    QVERIFY(log.hasLine("error", "The request was cut off: the program is ending."));
    QElapsedTimer again;
    again.start();
    QVERIFY(!m_window->keepALive());
    QVERIFY(again.elapsed() < 500);
    QVERIFY(log.hasLine("error", "No request sent: the program is ending."));
}

void TestHostileAppliance::exitDuringAConnectionAttemptEndsAtOnce()
{
    // A session stored for an appliance that is gone: the start-up check sits in a connection
    // attempt that never completes, for as long as its deadline.
    const UnansweredPort silent;
    logIn();
    QVERIFY(storeValue(u"keep_fixedPort", std::to_string(silent.port())));
    m_inspect.reset();
    m_window.reset();
    const LogTail log(m_home.logFile());
    m_window = std::make_unique<VelmoraAuth>();
    m_inspect = std::make_unique<VelmoraAuthInspector>(*m_window);
    QTRY_VERIFY(log.hasLine("info", "hit keepalive API with https"));
    QCOMPARE(m_inspect->runningWorkerThreads(), 1);
    // Past the client library's first timers of a connection attempt: from here on, nothing but
    // the cancel wakes the attempt before its deadline.
    QTest::qWait(1000);

    QElapsedTimer timer;
    timer.start();
    m_inspect->exitAction()->trigger();
    m_inspect.reset();
    m_window.reset();
    const qint64 took = timer.elapsed();
    qInfo("ended after %lld ms", took);
    QVERIFY2(took < 2000, qPrintable(QStringLiteral("%1 ms").arg(took)));
    // The check itself ended, cut off, rather than being left behind in its attempt.
    QVERIFY(log.hasLine("error", "The request was cut off: the program is ending."));
    // Exit left the application quitting, where every later event loop (a modal box's) ends at
    // once; a run of the main loop of its own clears that for the cases that follow.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    init();
}

void TestHostileAppliance::refusalsAreShownAsShortPlainText()
{
    ModalBoxes boxes;
    auto& ui = m_inspect->ui();
    const std::string longRichText = richText + std::string(forgedLine) + std::string(5000, 'x');
    const LogTail log(m_home.logFile());

    // A refused login, from the form. A session-end text keeps the refusal's text as it is, with
    // no JSON quoting, for the box and for its line in the log.
    m_appliance->scriptAnswer(
        scripted(Exchange::login, 200, refusal("kicked out " + longRichText)));
    submitLogin(QStringLiteral("secret"), QStringLiteral("127.0.0.1"),
                m_appliance->listeners().at(0).port);
    QTRY_COMPARE(boxes.shown.size(), 1);

    // A refused logout, from the connected page.
    logIn();
    QTRY_COMPARE(ui.stackedWidget->currentIndex(), 2);
    m_appliance->scriptAnswer(scripted(Exchange::logout, 200, longRichText));
    QTest::mouseClick(ui.logout, Qt::LeftButton);
    QTRY_COMPARE(boxes.shown.size(), 2);

    for (const ModalBoxes::Box& box : boxes.shown) {
        QCOMPARE(box.title, QStringLiteral("Information"));
        QCOMPARE(box.format, Qt::PlainText);
        QVERIFY2(box.text.contains(QStringLiteral("<a href=")), qPrintable(box.text));
        QCOMPARE(box.text.size(), velmora::shownMessageCharacters + 4);
        QVERIFY(box.text.endsWith(QStringLiteral(" [\u2026]")));
        // Nor broken where the appliance chose, nor carrying a terminal's controls.
        QVERIFY2(std::none_of(box.text.cbegin(), box.text.cend(),
                              [](QChar c) { return c.unicode() < 0x20; }),
                 qPrintable(box.text));
    }
    for (const QString& line : log.lines())
        QVERIFY2(!line.startsWith(QStringLiteral("[2026-01-01")), qPrintable(line));
    QCOMPARE(log.count(QStringLiteral("onLoginFinished()] - kicked out <h1>Update required</h1>")),
             1);

    // A huge message does not hold the window. Made in place: the test's own copies would count
    // in the suite's peak memory.
    std::string message;
    message.reserve(8 * 1024 * 1024 + sizeof richText);
    message.assign(8 * 1024 * 1024, 'w');
    message += richText;
    QElapsedTimer timer;
    timer.start();
    velmora::showInformation(m_window.get(), message);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
    QCOMPARE(boxes.shown.size(), 3);
    QCOMPARE(boxes.shown[2].text.size(), velmora::shownMessageCharacters + 4);
}

void TestHostileAppliance::forgedLinesStayOnTheirLine_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<std::string>("body");
    const std::string forged = forgedLine;
    QTest::newRow("login refusal") << Exchange::login << refusal("no" + forged);
    QTest::newRow("login body that is not JSON") << Exchange::login << "{" + forged;
    QTest::newRow("keep-alive refusal") << Exchange::keepAlive << refusal("kicked" + forged);
    QTest::newRow("logout refusal") << Exchange::logout << "no" + forged;
    QTest::newRow("probe page") << Exchange::probe << "velmora" + forged;
}

void TestHostileAppliance::forgedLinesStayOnTheirLine()
{
    QFETCH(Exchange, exchange);
    QFETCH(std::string, body);
    logIn();
    m_appliance->scriptAnswer(scripted(exchange, 200, body));
    const LogTail log(m_home.logFile());
    const QByteArray console = printedBy([&] { run(exchange); });

    const QStringList lines = log.lines();
    QVERIFY(!lines.isEmpty());
    const QRegularExpression traceLine(QStringLiteral(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[logger\] \[\w+\] \[\S+:\d+ in .+\(\)\] - )"));
    for (const QString& line : lines) {
        QVERIFY2(traceLine.match(line).hasMatch(), qPrintable(line));
        QVERIFY2(!line.startsWith(QStringLiteral("[2026-01-01")), qPrintable(line));
        QVERIFY(!line.contains(QLatin1Char('\r')) && !line.contains(QLatin1Char('\x1b')));
    }
    // There, only not at the start of a line: escaped as \x0D\x0A, or as \r\n in a JSON text.
    QVERIFY(log.contains(QStringLiteral("[2026-01-01 00:00:00.000] [logger] [info]")));
    for (const QByteArray& line : console.split('\n')) {
        QVERIFY2(!line.startsWith("[2026-01-01"), line.constData());
        QVERIFY(!line.contains('\r') && !line.contains('\x1b') && !line.contains('\x07'));
    }
}

void TestHostileAppliance::passwordEchoedInAnyFormIsHidden_data()
{
    QTest::addColumn<std::string>("password");
    QTest::addColumn<std::string>("echo"); // empty: the stand-in echoes the request itself
    QTest::addColumn<QString>("masked"); // where the echo was, masked
    // Blanks, a plus sign, an ampersand and letters beyond ASCII: the request carries it
    // percent-encoded, the echo repeats that, and the refusal's text comes back through the JSON
    // parser.
    QTest::newRow("the request echoed")
        << std::string("P4ss w\xc3\xb6rd+&x") << std::string() << "password=********&portal=1";
    // As the appliance may write the password back into its JSON refusal.
    const std::string password = "p@ss w/rd&+";
    const QString wrong = QStringLiteral("Wrong password=********, try again");
    const std::pair<const char*, std::string> echoes[] = {
        { "percent, lower-case hex", "p%40ss%20w%2frd%26%2B" },
        { "form encoding", "p%40ss+w%2Frd%26%2B" },
        { "percent, '/' as it is", "p%40ss%20w/rd%26%2B" },
        { "JSON", R"(p@ss w\/rd&+)" },
        { "JSON, \\u escapes", R"(p\u0040ss w\/rd\u0026\u002B)" },
        { "HTML", "p@ss w/rd&amp;&#43;" },
        { "HTML, hexadecimal", "p&#x40;ss w&#x2F;rd&amp;&#x2B;" },
    };
    for (const auto& [name, echo] : echoes)
        QTest::newRow(name) << password << echo << wrong;
}

void TestHostileAppliance::passwordEchoedInAnyFormIsHidden()
{
    QFETCH(std::string, password);
    QFETCH(std::string, echo);
    QFETCH(QString, masked);
    m_inspect->setEndpoint("127.0.0.1", m_appliance->listeners().at(0).port, true);
    if (echo.empty())
        m_appliance->injectFault(faultOn(Exchange::login, Fault::echo));
    else
        m_appliance->scriptAnswer(
            scripted(Exchange::login, 200,
                     R"({"status":"fail","errors":"Wrong password=)" + echo + R"(, try again"})"));
    const LogTail log(m_home.logFile());
    bool loggedIn = true;
    const QByteArray console = printedBy([&] { loggedIn = m_window->login("ann", password); });
    QVERIFY(!loggedIn);
    const std::string sent = velmora::percentEncoded(password);
    QCOMPARE(m_appliance->requestLog().size(), std::size_t(1));
    QVERIFY(m_appliance->requestLog().front().target.find(sent) != std::string::npos);
    if (echo.empty())
        echo = sent; // the echo repeats the password as it was sent

    // The refusal went to the log (its body), the console and the box, the echo masked.
    const QStringList bodyLines = log.lines().filter(QStringLiteral("Response body of Login API:"));
    QCOMPARE(bodyLines.size(), 1);
    QVERIFY2(bodyLines[0].contains(masked), qPrintable(bodyLines[0]));
    QVERIFY(console.count(masked.toUtf8()) >= 2);
    const QString shown = velmora::shownMessage(m_inspect->errorMessage());
    QVERIFY2(shown.contains(masked), qPrintable(shown));
    const QByteArray written = log.lines().join(QLatin1Char('\n')).toUtf8() + console;
    for (const std::string& form : { password, echo, std::string("w/rd"), std::string("w\\/rd") }) {
        QVERIFY2(!written.contains(QByteArray::fromStdString(form)), form.c_str());
        QVERIFY2(!shown.contains(QString::fromStdString(form)), form.c_str());
    }
}

void TestHostileAppliance::steeringCharactersReachNeitherBoxNorConsole()
{
    // A right-to-left override would show the rest of a box reversed; a line separator breaks a
    // line on a terminal that honours it. Both in a refusal, and in the name the appliance gives.
    const std::string steering = "\xe2\x80\xae"
                                 "gnp.exe\xe2\x80\xa8"
                                 "x\xe2\x81\xa6"
                                 "y";
    ModalBoxes boxes;
    m_inspect->setEndpoint("127.0.0.1", m_appliance->listeners().at(0).port, true);
    m_appliance->scriptAnswer(scripted(Exchange::login, 200, refusal("Refused: " + steering)));
    QByteArray console;
    {
        StdoutCapture capture;
        QVERIFY(!m_window->login("ann", "secret"));
        velmora::showInformation(m_window.get(), m_inspect->errorMessage());
        m_appliance->scriptAnswer(scripted(
            Exchange::login, 200,
            nlohmann::json {
                { "status", "success" },
                { "data", { { "userid", 7 }, { "username", "ann" + steering }, { "k1", 99 } } } }
                .dump()));
        QVERIFY(m_window->login("ann", "secret"));
        console = capture.text();
    }
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].text, QStringLiteral("\"Refused: gnp.exe xy\""));
    for (const char* control : { "\xe2\x80\xae", "\xe2\x80\xa8", "\xe2\x81\xa6" })
        QVERIFY2(!console.contains(control), console.constData());
    // There, escaped as the log writes it.
    QVERIFY(console.contains("ann\\xE2\\x80\\xAEgnp.exe"));
}

void TestHostileAppliance::logGrowthPerKeepAliveIsBounded()
{
    // What one keep-alive adds to the log, for the answers that write the most: each outside
    // value is an excerpt of a few KiB, whatever the answer holds.
    const std::string big(60000, 'k');
    const struct
    {
        const char* name;
        std::string keepAlive;
        std::string reLogin; // the answer to the login that "Session Expired" brings
    } answers[] = {
        { "refusal of 60000 bytes with \"kicked\"", refusal("kicked " + big), {} },
        { "60000 bytes of no JSON", "\"" + big, {} },
        { "forged lines", refusal(std::string("kicked") + forgedLine), {} },
        { "Session Expired, re-login refused with 60000 bytes", refusal("Session Expired"),
          refusal(big) },
        { "Session Expired, re-login answered with 60000 bytes of no JSON",
          refusal("Session Expired"), "[" + big },
    };
    qint64 worst = 0;
    std::string worstName;
    for (const auto& answer : answers) {
        logIn();
        m_inspect->setLoginPassword("secret");
        m_appliance->scriptAnswer(scripted(Exchange::keepAlive, 200, answer.keepAlive));
        if (!answer.reLogin.empty())
            m_appliance->scriptAnswer(scripted(Exchange::login, 200, answer.reLogin));
        const qint64 before = QFile(m_home.logFile()).size();
        m_window->keepALive();
        const qint64 grown = QFile(m_home.logFile()).size() - before;
        qInfo("log growth for one keep-alive, %s: %lld bytes", answer.name, grown);
        if (grown > worst) {
            worst = grown;
            worstName = answer.name;
        }
    }
    qInfo("worst log growth per keep-alive: %lld bytes (%s)", worst, worstName.c_str());
    QVERIFY2(worst <= 8 * 1024, qPrintable(QString::number(worst)));
}

VELMORA_TEST_MAIN(TestHostileAppliance)
#include "TestHostileAppliance.moc"
