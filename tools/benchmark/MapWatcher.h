#pragma once

#include "Processes.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <sys/types.h>

struct xcb_connection_t;

namespace velmora::bench {

struct MappedWindow
{
    std::uint32_t window = 0;
    Clock::time_point at; // when the map event was read
    int width = 0;
    int height = 0;
};

// Watches the X display ($DISPLAY) for top-level windows being mapped. It subscribes to the root
// window's structure events when it is made, before any program is started, so that the map
// event of a program started later is never missed, and it waits for events instead of polling
// the window tree.
class MapWatcher
{
public:
    MapWatcher(); // throws std::runtime_error without a display
    ~MapWatcher();
    MapWatcher(const MapWatcher&) = delete;
    MapWatcher& operator=(const MapWatcher&) = delete;

    // Drops the events of earlier programs.
    void discardPending();

    // The first top-level window of the process pid (by its _NET_WM_PID) to be mapped, or
    // nothing after the timeout.
    std::optional<MappedWindow> waitForMap(pid_t pid, std::chrono::milliseconds timeout);

private:
    std::optional<std::uint32_t> windowPid(std::uint32_t window);

    xcb_connection_t* m_connection = nullptr;
    std::uint32_t m_root = 0;
    std::uint32_t m_pidAtom = 0;
};

} // namespace velmora::bench
