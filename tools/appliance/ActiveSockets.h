#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>

namespace standin {

// The open connections of one listener, so that stopping can interrupt them all at once:
// shutting a socket down wakes any thread blocked on it, and pauses wait on the same flag.
class ActiveSockets
{
public:
    // False once stopping: the caller then closes the socket itself.
    bool add(int socket);
    // Must come before the socket is closed, so a stop never shuts down a reused number.
    void remove(int socket);
    void stopAll();
    // Waits for `delay`; false when the listener stopped meanwhile.
    bool pause(std::chrono::milliseconds delay);
    bool stopping() const;
    std::size_t count() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    std::set<int> m_sockets;
    bool m_stopping = false;
};

} // namespace standin
