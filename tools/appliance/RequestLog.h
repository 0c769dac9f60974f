#pragma once

#include "ApplianceTypes.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace standin {

// Every request received, in order of arrival, for tests to inspect and wait on. Holds at
// most `capacity` entries: past that the oldest tenth goes, so a long manual run stays small.
class RequestLog
{
public:
    using Condition = std::function<bool(const std::vector<LoggedRequest>&)>;

    explicit RequestLog(std::size_t capacity = 10000);

    void append(LoggedRequest entry);
    std::vector<LoggedRequest> snapshot() const;
    void clear();
    // Waits until `done` holds for the log (checked under the log's lock, so it must not
    // call back into the log), the time-out passes or close() is called. Returns `done`.
    bool waitUntil(const Condition& done, std::chrono::milliseconds timeout) const;
    // Releases every waiter, for shutting down.
    void close();

private:
    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<LoggedRequest> m_entries;
    bool m_closed = false;
};

} // namespace standin
