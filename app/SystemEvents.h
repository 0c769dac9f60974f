#pragma once

#include <functional>
#include <memory>

namespace velmora {

// What the system tells about its network and its sleep, as far as the platform can.
enum class SystemEvent {
    networkUp, // the network came up or changed
    networkDown, // no network: nothing to log in to until it comes up
    resumed, // the computer woke from sleep
    noNetworkEvents, // this system cannot tell of the network (told once, at most)
    noResumeEvents, // nor of resume
};

// Watches from construction to destruction. The handler may be called on any thread; once the
// destructor has returned it is not called again. On Linux the events come from NetworkManager
// and logind on the system bus; on Windows from the IP helper's interface notices and the power
// broadcast to a hidden window.
class SystemEvents
{
public:
    using Handler = std::function<void(SystemEvent)>;

    explicit SystemEvents(Handler handler);
    ~SystemEvents();

    SystemEvents(const SystemEvents&) = delete;
    SystemEvents& operator=(const SystemEvents&) = delete;

    class Watcher;

private:
    std::unique_ptr<Watcher> m_watcher;
};

} // namespace velmora
