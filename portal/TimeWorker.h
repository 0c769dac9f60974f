#pragma once

#include <QObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// Paces the keep-alive: while enabled, emits sendDateTime every 4 seconds from its own thread.
// It knows nothing of the portal; the exchanges switch it on and off through enabled.
class TimeWorker : public QObject
{
    Q_OBJECT

public:
    explicit TimeWorker(QObject* parent = nullptr);

    // Read once per pass, before the wait: the first tick comes 4 to 8 seconds after it is set,
    // and one late tick may still come up to 4 seconds after it is cleared.
    std::atomic<bool> enabled { false };

    // Called by the receiver of a tick as it starts on it. Until then no further tick is sent:
    // while a keep-alive waits for a slow appliance, one tick waits behind it and later ones are
    // dropped, so no backlog runs once the appliance answers again.
    void tickTaken();

    // Ends the loop at once, from any thread. For the end of the program only.
    void stop();

signals:
    void sendDateTime();

public slots:
    // The tick loop; returns only after stop().
    void process();

private:
    static constexpr std::chrono::seconds interval { 4 };

    std::atomic<bool> m_tickWaiting { false };
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopped = false;
};
