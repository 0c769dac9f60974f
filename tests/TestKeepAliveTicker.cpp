#include "auth/DesktopNotices.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

using standin::Exchange;

// The 4-second ticker on its own thread, alone and inside the window.
class TestKeepAliveTicker : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestKeepAliveTicker(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    // Each case starts without a stored session: the window's start-up check would otherwise take
    // up the one an earlier case left, at the same address, and end it while the case keeps it
    // alive.
    void init() { start(); }
    void cleanup() { stop(); }
    void ticksEveryFourSecondsOnlyWhileEnabled();
    void silenceIsToldWhileAKeepAliveStillWaits();
    void slowKeepAlivesWaitOffTheGuiThreadAndLeaveNoBacklog();
    void windowTeardownStopsTheTickerAtOnce();
};

void TestKeepAliveTicker::ticksEveryFourSecondsOnlyWhileEnabled()
{
    QThread thread;
    auto* worker = new TimeWorker;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::started, worker, &TimeWorker::process);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    connect(worker, &TimeWorker::sendDateTime, this, [&] {
        worker->tickTaken(); // as the window's slot does
        ticks.push_back(clock.elapsed());
        // Off a second after the third tick, while the pass that read the flag as on runs.
        if (ticks.size() == 3)
            QTimer::singleShot(1000, this, [&] { worker->enabled = false; });
    });
    clock.start();
    thread.start();

    QTest::qWait(5000); // more than one whole pass
    QVERIFY2(ticks.empty(), "no tick while disabled");

    worker->enabled = true;
    const qint64 enabledAt = clock.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 3, 17000);
    // The pass under way read the flag before it was set: the first tick comes after the next.
    QVERIFY2(ticks[0] - enabledAt >= 3900 && ticks[0] - enabledAt <= 8100,
             qPrintable(QString::number(ticks[0] - enabledAt)));
    for (size_t i = 1; i < ticks.size(); ++i) {
        const qint64 gap = ticks[i] - ticks[i - 1];
        QVERIFY2(gap >= 3900 && gap <= 4300, qPrintable(QString::number(gap)));
    }

    QTest::qWait(8500);
    QCOMPARE(ticks.size(), size_t(4)); // one late tick, from the pass that read the flag as on

    worker->stop();
    thread.quit();
    QVERIFY(thread.wait(2000));
}

void TestKeepAliveTicker::silenceIsToldWhileAKeepAliveStillWaits()
{
    logIn();
    QCOMPARE(m_inspect->trayImage(), "connected");
    const auto session = [](const standin::LoggedRequest& request) {
        return *request.param("u") + '|' + *request.param("username") + '|' + *request.param("k1");
    };
    // The ticks come to this thread: waited for with its events turning.
    QTRY_VERIFY_WITH_TIMEOUT(!m_appliance->requestLog().empty(), 15000);
    const std::string kept = session(m_appliance->requestLog().back());

    // The appliance takes the connection and never answers.
    standin::FaultRule silent =
        faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::minutes(10));
    silent.times = standin::Times::untilCleared();
    m_appliance->injectFault(silent);
    QTRY_VERIFY_WITH_TIMEOUT(keepAlives("slow") >= 1, 15000);
    QElapsedTimer waiting;
    waiting.start();
    QTRY_COMPARE_WITH_TIMEOUT(m_inspect->trayImage(), QStringLiteral("not-connected"), 15000);
    QVERIFY2(waiting.elapsed() < 15000, qPrintable(QString::number(waiting.elapsed())));
    QVERIFY(m_inspect->notices()->isApplianceSilent());
    QCOMPARE(keepAlives("slow"), 1); // one waits, the ticks behind it join

    // It answers again: the waiting keep-alive ends, the one behind it is answered, and the
    // session goes on as it was, without a login.
    m_appliance->clearScripts();
    m_appliance->stopListeners(standin::SessionsOnStop::keep);
    m_appliance->startListeners();
    QTRY_COMPARE_WITH_TIMEOUT(m_inspect->trayImage(), QStringLiteral("connected"), 15000);
    QCOMPARE(session(m_appliance->requestLog().back()), kept);
    QCOMPARE(keepAlives(), int(m_appliance->requestLog().size()));
    QVERIFY(m_inspect->tickerEnabled());
    QVERIFY(!m_inspect->isLoggedOut());
}

void TestKeepAliveTicker::slowKeepAlivesWaitOffTheGuiThreadAndLeaveNoBacklog()
{
    logIn();
    // Every answer takes 6 seconds: ticks come every 4, faster than they are served.
    standin::FaultRule slow =
        faultOn(Exchange::keepAlive, standin::Fault::slowAnswer, std::chrono::seconds(6));
    slow.times = standin::Times::untilCleared();
    m_appliance->injectFault(slow);

    // A keep-alive answered slowly holds whichever thread runs it: were it the GUI thread, a
    // timer there would stall for as long as the first answer took.
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 longestStall = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, [&] {
        longestStall = std::max(longestStall, clock.elapsed() - last);
        last = clock.elapsed();
    });
    heartbeat.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(keepAlives() >= 2, 20000);
    heartbeat.stop();
    QVERIFY2(longestStall < 500, qPrintable(QString::number(longestStall)));

    // By the sixth slow answer a queue of every tick would hold three or four. Counted, not
    // timed: on a loaded machine the answers take longer than 6 seconds.
    QTRY_VERIFY_WITH_TIMEOUT(keepAlives() >= 6, 120000);

    // It answers at once again: the one tick that waited runs now, and at most one more comes
    // within 2 seconds on the usual pace.
    m_appliance->clearScripts();
    const int before = keepAlives();
    QTest::qWait(2000);
    QVERIFY2(keepAlives() - before <= 2, qPrintable(QString::number(keepAlives() - before)));
    QVERIFY(m_inspect->tickerEnabled());
}

void TestKeepAliveTicker::windowTeardownStopsTheTickerAtOnce()
{
    m_inspect->setTickerEnabled(true);
    QTest::qWait(100);
    QVERIFY2(closeWindow() < 1000, "the ticker is not waited out");
}

VELMORA_TEST_MAIN(TestKeepAliveTicker)
#include "TestKeepAliveTicker.moc"
