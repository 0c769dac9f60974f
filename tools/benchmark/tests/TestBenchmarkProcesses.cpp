// The benchmark's view of the processes it runs, against the real programs: the map of a
// window on an X display, taken from the server's event, and the requests velmora-appliance
// reports on its output. When either reading breaks, the table would time nothing or count
// nothing.
#include "MapWatcher.h"
#include "Processes.h"
#include "StandInProcess.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace velmora::bench;
using namespace std::chrono_literals;

namespace {

// One plain HTTP GET on loopback; the status line of the answer, or an empty text.
std::string rawGet(int port, const std::string& target)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == ssize_t(request.size())) {
            char buffer[4096];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
                answer.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

} // namespace

class TestBenchmarkProcesses : public QObject
{
    Q_OBJECT

private slots:
    void standInCountsWhatItAnsweredItself();
    void standInThatCannotStartIsReported();
    void mapOfAWindowIsTakenFromTheServer();
};

void TestBenchmarkProcesses::standInCountsWhatItAnsweredItself()
{
    using Exchange = StandInProcess::Exchange;
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const std::string copy = folder.path().toStdString() + "/appliance.log";
    StandInProcess standIn({ VELMORA_APPLIANCE_BINARY,
                             { "--listen", "127.0.0.1:0:http", "--user", "ann:secret" },
                             { "PATH=/usr/bin:/bin" },
                             "",
                             folder.path().toStdString() + "/errors",
                             true },
                           copy);
    QVERIFY(standIn.port() > 0);

    QCOMPARE(rawGet(standIn.port(), "/isvelmora.php"), std::string("HTTP/1.1 200 OK"));
    QVERIFY(standIn.waitForAnswered(Exchange::probe, 1, 5000ms));
    // A keep-alive without the fixed parameters is refused: not counted.
    QCOMPARE(rawGet(standIn.port(), "/index.php?pageto=ka&u=1&username=ann&k1=2"),
             std::string("HTTP/1.1 400 Bad Request"));
    QVERIFY(!standIn.waitForAnswered(Exchange::keepAlive, 1, 300ms));
    QCOMPARE(rawGet(standIn.port(),
                    "/index.php?pageto=ka&ms=kq52vnwpex317t9hmzol8"
                    "&mes=kq52vnwpex317t9hmzol8&u=1&username=ann&k1=2"),
             std::string("HTTP/1.1 200 OK"));
    QVERIFY(standIn.waitForAnswered(Exchange::keepAlive, 1, 5000ms));
    QCOMPARE(rawGet(standIn.port(), "/nothing-here").substr(0, 12), std::string("HTTP/1.1 404"));

    // Nothing more arrives than what was asked, and no login was counted.
    QVERIFY(!standIn.waitForAnswered(Exchange::probe, 2, 300ms));
    QCOMPARE(standIn.answered(Exchange::login), 0);
    // Every line of its output is kept for the reader of the benchmark's folder.
    const std::string lines = readWholeFile(copy).value_or("");
    QVERIFY2(lines.find("GET /isvelmora.php -> 200") != std::string::npos, lines.c_str());
}

void TestBenchmarkProcesses::standInThatCannotStartIsReported()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const auto started = Clock::now();
    // Not a loopback address: the stand-in refuses it and ends at once.
    QVERIFY_EXCEPTION_THROWN(StandInProcess({ VELMORA_APPLIANCE_BINARY,
                                              { "--listen", "10.0.0.1:0:http" },
                                              { "PATH=/usr/bin:/bin" },
                                              "",
                                              folder.path().toStdString() + "/errors",
                                              true },
                                            folder.path().toStdString() + "/appliance.log"),
                             std::runtime_error);
    QVERIFY(Clock::now() - started < 5s);
}

void TestBenchmarkProcesses::mapOfAWindowIsTakenFromTheServer()
{
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0)
        QSKIP("no Xvfb");
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    // The tests' own desktop, without a tray host or a bus: it says its display, then waits.
    const std::string displayFile = folder.path().toStdString() + "/display";
    Child server({ VELMORA_SOURCE_FOLDER "/tests/desktop/private-desktop.sh",
                   { "--no-tray", "--no-bus", "--say-display", "sleep", "600" },
                   { "PATH=/usr/bin:/bin" },
                   "",
                   displayFile });
    // A terminated launcher ends its display; a killed one would leave it behind.
    const auto endDesktop = qScopeGuard([&] { server.stop(); });
    std::string display;
    for (int i = 0; i < 100 && display.find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        display = readWholeFile(displayFile).value_or("");
    }
    QVERIFY2(display.starts_with(':') && display.find('\n') != std::string::npos,
             ("the desktop did not start: " + display).c_str());
    display.resize(display.find('\n'));
    qputenv("DISPLAY", QByteArray::fromStdString(display));

    MapWatcher watcher;
    IsolatedHome home(folder.path().toStdString());
    std::vector<std::string> environment = home.environment();
    setVariable(environment, "DISPLAY", display);
    setVariable(environment, "QT_QPA_PLATFORM", "xcb");

    // A program that maps nothing: no map is ascribed to it.
    Child silent({ "/bin/sleep", { "30" }, environment, "", "" });
    QVERIFY(!watcher.waitForMap(silent.pid(), 500ms));

    watcher.discardPending();
    Child floor({ VELMORA_FLOOR_BINARY, {}, environment, "", home.path() + "/floor.log" });
    const auto mapped = watcher.waitForMap(floor.pid(), 30s);
    QVERIFY(mapped);
    QCOMPARE(mapped->width, 400);
    QCOMPARE(mapped->height, 600);
    QVERIFY(mapped->at > floor.execTime());
    QVERIFY(mapped->at - floor.execTime() < 30s);
    // The same window is not reported twice.
    QVERIFY(!watcher.waitForMap(floor.pid(), 300ms));
}

QTEST_GUILESS_MAIN(TestBenchmarkProcesses)
#include "TestBenchmarkProcesses.moc"
