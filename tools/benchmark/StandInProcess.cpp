#include "StandInProcess.h"

#include <cerrno>
#include <stdexcept>
#include <unistd.h>

namespace velmora::bench {

StandInProcess::StandInProcess(const Launch& launch, const std::string& copyFile)
    : m_child(launch)
    , m_copy(copyFile, std::ios::app)
    , m_thread([this] { read(); })
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(10),
                       [this] { return m_port.has_value() || m_ended; });
    if (!m_port) {
        lock.unlock();
        stop();
        throw std::runtime_error("velmora-appliance did not start");
    }
}

StandInProcess::~StandInProcess()
{
    stop();
}

int StandInProcess::answered(Exchange exchange)
{
    std::lock_guard lock(m_mutex);
    return m_answered[exchange];
}

bool StandInProcess::waitForAnswered(Exchange exchange, int count,
                                     std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_answered[exchange] >= count; });
}

void StandInProcess::stop()
{
    m_child.stop();
    if (m_thread.joinable())
        m_thread.join();
}

void StandInProcess::read()
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(m_child.outputPipe(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            // Flushed at once: the copy is what is left to read when a measure fails.
            m_copy << line << std::endl;
            std::lock_guard lock(m_mutex);
            if (!m_port)
                m_port = listeningPort(line);
            if (const auto request = parseApplianceLine(line)) {
                if (isAnswered(*request, request->exchange))
                    ++m_answered[request->exchange];
            }
            m_changed.notify_all();
        }
    }
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
}

} // namespace velmora::bench
