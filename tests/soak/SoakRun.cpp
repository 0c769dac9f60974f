// Keeps the window connected to a stand-in appliance (a separate process) for a while, with
// random faults mixed into the keep-alives: outages, status 500, slow answers, expired sessions.
// Measures at the start and at the end, in quiet periods without faults: resident memory, open
// files, threads, and how much the log grows per tick. Fails when anything but the log grows,
// when the log's growth per tick changes, or when a re-login fails.
//
//   velmora-soak MINUTES APPLIANCE-PROGRAM [SEED]
#include "app/ProcessSignals.h"
#include "support/IsolatedHome.h"
#include "support/PortalTestSupport.h"
#include "support/ProcessFigures.h"
#include "support/WindowFixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
#include <QtTest>

#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

namespace {

struct Figures
{
    long residentKilobytes = 0;
    int openFiles = 0;
    int threads = 0;
    double logBytesPerTick = 0;
};

class Soak
{
public:
    Soak(IsolatedHome& home, QString appliance, int minutes, quint32 seed)
        : m_home(home)
        , m_applianceProgram(std::move(appliance))
        , m_minutes(minutes)
        , m_random(seed)
    {
    }

    int run();

private:
    bool startAppliance();
    bool logIn();
    void control(const std::string& path);
    int logCount(const QString& text) const { return m_log.count(text); }
    // Waits quietly for the given number of ticks and measures meanwhile.
    Figures quietPeriod(int ticks);
    void injectRandomFault();
    void wait(int milliseconds) { QTest::qWait(milliseconds); }
    bool waitUntil(const std::function<bool()>& done, int milliseconds)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < milliseconds)
            wait(50);
        return done();
    }

    IsolatedHome& m_home;
    LogTail m_log { m_home.logFile() };
    QString m_applianceProgram;
    int m_minutes;
    QRandomGenerator m_random;
    QProcess m_appliance;
    quint16 m_portalPort = 0;
    quint16 m_controlPort = 0;
    std::unique_ptr<VelmoraAuth> m_window;
    std::unique_ptr<VelmoraAuthInspector> m_inspect;
    std::vector<int> m_nextKinds;
    int m_expiries = 0;
    int m_faults = 0;
};

bool Soak::startAppliance()
{
    m_portalPort = refusedLoopbackPort();
    m_controlPort = refusedLoopbackPort();
    m_appliance.setProgram(m_applianceProgram);
    m_appliance.setArguments(
        { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1:https").arg(m_portalPort),
          QStringLiteral("--control"), QStringLiteral("127.0.0.1:%1").arg(m_controlPort),
          QStringLiteral("--user"), QStringLiteral("soak:s0ak-pw") });
    m_appliance.setStandardOutputFile(m_home.path() + QStringLiteral("/appliance.log"));
    m_appliance.start();
    if (!m_appliance.waitForStarted(10000))
        return false;
    return waitUntil(
        [this] {
            QFile log(m_home.path() + QStringLiteral("/appliance.log"));
            return log.open(QIODevice::ReadOnly) && log.readAll().contains("controls on");
        },
        10000);
}

void Soak::control(const std::string& path)
{
    httplib::Client client("127.0.0.1", m_controlPort);
    client.set_connection_timeout(5);
    client.set_read_timeout(5);
    const auto result = client.Post(path.c_str());
    if (!result || result->status != 200)
        std::cerr << "control request failed: " << path << std::endl;
}

bool Soak::logIn()
{
    m_window = std::make_unique<VelmoraAuth>();
    m_inspect = std::make_unique<VelmoraAuthInspector>(*m_window);
    m_window->show();
    auto& ui = m_inspect->ui();
    click(ui.autoDetectIpAddress);
    click(ui.autoDetectPortAddress);
    typeInto(ui.lineEdit_ipAdress, QStringLiteral("127.0.0.1"));
    typeInto(ui.lineEdit_portadress, QString::number(m_portalPort));
    typeInto(ui.lineEdit_username, QStringLiteral("soak"));
    typeInto(ui.lineEdit_password, QStringLiteral("s0ak-pw"));
    click(ui.login);
    return waitUntil(
        [&] { return ui.stackedWidget->currentIndex() == 2 && ui.stackedWidget->isEnabled(); },
        15000);
}

Figures Soak::quietPeriod(int ticks)
{
    const QString tick = QStringLiteral("hit keepalive API with https");
    const int ticksBefore = logCount(tick);
    const qint64 bytesBefore = QFile(m_home.logFile()).size();
    while (logCount(tick) < ticksBefore + ticks)
        wait(200);
    const qint64 bytes = QFile(m_home.logFile()).size() - bytesBefore;
    return Figures { residentKilobytes(), openFileCount(), threadCount(),
                     static_cast<double>(bytes) / ticks };
}

void Soak::injectRandomFault()
{
    // Rounds of every kind in a shuffled order, so even a short soak sees each kind.
    if (m_nextKinds.empty()) {
        m_nextKinds = { 0, 1, 2, 3, 4 };
        std::shuffle(m_nextKinds.begin(), m_nextKinds.end(), m_random);
    }
    const int kind = m_nextKinds.back();
    m_nextKinds.pop_back();
    ++m_faults;
    switch (kind) {
    case 0: // the appliance goes away for a few ticks and comes back with the session
        control("/listeners/stop?sessions=keep");
        wait(static_cast<int>(m_random.bounded(3000, 9000)));
        control("/listeners/start");
        break;
    case 1:
        control("/script?exchange=keep-alive&status=500&body=oops");
        break;
    case 2:
        control("/fault?fault=slow&exchange=keep-alive&delay_ms="
                + std::to_string(m_random.bounded(500, 3000)));
        break;
    case 3:
        ++m_expiries;
        control("/sessions/expire");
        break;
    default: // a refused connection: the listener is gone for a moment only
        control("/listeners/stop?sessions=keep");
        wait(500);
        control("/listeners/start");
        break;
    }
}

int Soak::run()
{
    if (!startAppliance()) {
        std::cerr << "the stand-in appliance did not start" << std::endl;
        return 1;
    }
    if (!logIn()) {
        std::cerr << "the first login failed" << std::endl;
        return 1;
    }
    const int loginsAtStart = logCount(QStringLiteral("Start keep alive thread."));
    wait(10000); // let libraries settle their caches before the first figures
    const Figures start = quietPeriod(4);

    QElapsedTimer clock;
    clock.start();
    const qint64 faultPhase = std::max<qint64>(20000, m_minutes * 60000 - 70000);
    while (clock.elapsed() < faultPhase) {
        injectRandomFault();
        wait(static_cast<int>(m_random.bounded(4000, 12000)));
    }
    control("/script/clear");
    wait(12000); // every fault has run its course
    const Figures end = quietPeriod(4);

    const int relogins = logCount(QStringLiteral("Start keep alive thread.")) - loginsAtStart;
    const int attempts = logCount(QStringLiteral("Try to login when session expired keepalive"));
    const bool connected = m_inspect->ui().stackedWidget->currentIndex() == 2
        && m_inspect->isLoggedIn() && !m_inspect->isLoggedOut() && m_inspect->tickerEnabled();
    m_window.reset();
    m_appliance.terminate();
    m_appliance.waitForFinished(5000);

    std::printf(
        "soak of %d minute(s): %d faults injected, %d sessions expired, %d re-logins tried, "
        "%d succeeded\n",
        m_minutes, m_faults, m_expiries, attempts, relogins);
    std::printf("%-22s %12s %12s\n", "", "start", "end");
    std::printf("%-22s %12ld %12ld\n", "resident memory (kB)", start.residentKilobytes,
                end.residentKilobytes);
    std::printf("%-22s %12d %12d\n", "open files", start.openFiles, end.openFiles);
    std::printf("%-22s %12d %12d\n", "threads", start.threads, end.threads);
    std::printf("%-22s %12.0f %12.0f\n", "log bytes per tick", start.logBytesPerTick,
                end.logBytesPerTick);

    bool ok = connected && relogins == attempts && attempts >= 0;
    ok = ok && end.openFiles == start.openFiles && end.threads == start.threads;
    ok = ok && end.residentKilobytes - start.residentKilobytes < 4096;
    ok = ok && std::abs(end.logBytesPerTick - start.logBytesPerTick) <= 0.1 * start.logBytesPerTick;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    if (!connected)
        std::printf("the window is not connected at the end\n");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::cerr << "usage: velmora-soak MINUTES APPLIANCE-PROGRAM [SEED]" << std::endl;
        return 2;
    }
    IsolatedHome home;
    qputenv("PATH", QByteArray(VELMORA_FAKE_TOOLS) + ':' + qgetenv("PATH"));
    velmora::ignoreBrokenPipes();
    QApplication application(argc, argv);
    const quint32 seed =
        argc > 3 ? QByteArray(argv[3]).toUInt() : QRandomGenerator::global()->generate();
    std::printf("seed %u\n", seed);
    Soak soak(home, QString::fromLocal8Bit(argv[2]), std::max(1, QByteArray(argv[1]).toInt()),
              seed);
    return soak.run();
}
