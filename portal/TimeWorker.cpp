#include "portal/TimeWorker.h"

TimeWorker::TimeWorker(QObject* parent)
    : QObject(parent)
{
}

void TimeWorker::tickTaken()
{
    m_tickWaiting = false;
}

void TimeWorker::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    m_wake.notify_all();
}

void TimeWorker::process()
{
    for (;;) {
        const bool tick = enabled.load();
        {
            // A wait instead of a plain sleep, so that the program's end needs not wait out
            // the interval.
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_for(lock, interval, [this] { return m_stopped; }))
                return;
        }
        if (tick && !m_tickWaiting.exchange(true))
            emit sendDateTime();
    }
}
