// What velmora-auth maps by the time its window is up: nothing that only a request needs. The
// TLS library and the HTTP client are loaded at the first request, and no image plugin is
// loaded that no image of the window needs; each costs start time and memory.
#include "Processes.h"

#include <QtTest>

#include <fstream>
#include <thread>

using namespace velmora::bench;
using namespace std::chrono_literals;

class TestStartFootprint : public QObject
{
    Q_OBJECT

private slots:
    void startMapsNothingThatOnlyARequestNeeds();
};

void TestStartFootprint::startMapsNothingThatOnlyARequestNeeds()
{
    IsolatedHome home(QDir::tempPath().toStdString());
    std::vector<std::string> environment = home.environment();
    setVariable(environment, "QT_QPA_PLATFORM", "offscreen");
    // From the checkout, where the window icon assets/icon.ico is, as the demo starts it.
    Child program(
        { VELMORA_AUTH_BINARY, {}, environment, VELMORA_SOURCE_FOLDER, home.path() + "/output" });

    // The program path is the constructor's last trace line; the window is shown right after.
    const auto deadline = Clock::now() + 20s;
    bool constructed = false;
    while (!constructed && Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        constructed = readWholeFile(home.logFile()).value_or("").find("Application path: ")
            != std::string::npos;
    }
    QVERIFY2(constructed, "the window was not built within 20 s");
    std::this_thread::sleep_for(500ms);

    const auto maps = readWholeFile("/proc/" + std::to_string(program.pid()) + "/maps");
    QVERIFY(maps);
    // The reading works: the window's own libraries are there.
    QVERIFY(maps->find("libQt5Widgets.so") != std::string::npos);
    QVERIFY(maps->find("imageformats/libqico.so") != std::string::npos);
    for (const char* library :
         { "libssl.so", "libcrypto.so", "libcurl.so", "velmora-http.so", "imageformats/libqgif.so",
           "imageformats/libqsvg.so", "libQt5Svg.so" })
        QVERIFY2(maps->find(library) == std::string::npos, library);

    QCOMPARE(describeStatus(program.stop()), std::string("exited with 0"));
}

QTEST_GUILESS_MAIN(TestStartFootprint)
#include "TestStartFootprint.moc"
