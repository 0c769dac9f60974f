#include "ActiveSockets.h"

#include <sys/socket.h>

namespace standin {

bool ActiveSockets::add(int socket)
{
    std::lock_guard lock(m_mutex);
    if (m_stopping)
        return false;
    m_sockets.insert(socket);
    return true;
}

void ActiveSockets::remove(int socket)
{
    std::lock_guard lock(m_mutex);
    m_sockets.erase(socket);
}

void ActiveSockets::stopAll()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        for (const int socket : m_sockets)
            ::shutdown(socket, SHUT_RDWR);
    }
    m_stopped.notify_all();
}

bool ActiveSockets::pause(std::chrono::milliseconds delay)
{
    std::unique_lock lock(m_mutex);
    return !m_stopped.wait_for(lock, delay, [this] { return m_stopping; });
}

bool ActiveSockets::stopping() const
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

std::size_t ActiveSockets::count() const
{
    std::lock_guard lock(m_mutex);
    return m_sockets.size();
}

} // namespace standin
