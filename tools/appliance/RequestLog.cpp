#include "RequestLog.h"

namespace standin {

RequestLog::RequestLog(std::size_t capacity)
    : m_capacity(capacity < 10 ? 10 : capacity)
{
}

void RequestLog::append(LoggedRequest entry)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_entries.size() >= m_capacity)
            m_entries.erase(m_entries.begin(),
                            m_entries.begin() + static_cast<long>(m_capacity / 10));
        m_entries.push_back(std::move(entry));
    }
    m_changed.notify_all();
}

std::vector<LoggedRequest> RequestLog::snapshot() const
{
    std::lock_guard lock(m_mutex);
    return m_entries;
}

void RequestLog::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

bool RequestLog::waitUntil(const Condition& done, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] { return m_closed || done(m_entries); });
    return done(m_entries);
}

void RequestLog::close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
}

} // namespace standin
