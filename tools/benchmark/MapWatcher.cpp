#include "MapWatcher.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <poll.h>
#include <stdexcept>

namespace velmora::bench {

namespace {

struct FreeDeleter
{
    void operator()(void* pointer) const { std::free(pointer); }
};
template<typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

} // namespace

MapWatcher::MapWatcher()
{
    m_connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(m_connection)) {
        xcb_disconnect(m_connection);
        throw std::runtime_error("cannot connect to the X display (is DISPLAY set?)");
    }
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;

    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    const xcb_void_cookie_t selected =
        xcb_change_window_attributes_checked(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
    if (XcbReply<xcb_generic_error_t> error { xcb_request_check(m_connection, selected) })
        throw std::runtime_error("cannot watch the root window of the X display");

    constexpr char name[] = "_NET_WM_PID";
    const XcbReply<xcb_intern_atom_reply_t> atom { xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, sizeof name - 1, name), nullptr) };
    if (!atom)
        throw std::runtime_error("cannot intern _NET_WM_PID");
    m_pidAtom = atom->atom;
}

MapWatcher::~MapWatcher()
{
    xcb_disconnect(m_connection);
}

void MapWatcher::discardPending()
{
    // A round trip first, so that everything the server sent so far has arrived.
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection))
        std::free(event);
}

std::optional<MappedWindow> MapWatcher::waitForMap(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    pollfd display { xcb_get_file_descriptor(m_connection), POLLIN, 0 };
    for (;;) {
        XcbReply<xcb_generic_event_t> event { xcb_poll_for_event(m_connection) };
        if (!event) {
            if (xcb_connection_has_error(m_connection))
                throw std::runtime_error("lost the connection to the X display");
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            // Sleeps until the server sends something; no polling of the window tree.
            ::poll(&display, 1, static_cast<int>(left.count()) + 1);
            continue;
        }
        const auto readAt = Clock::now();
        if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY)
            continue;
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event.get());
        // Structure events of the root's children: top-level windows. Menus and tooltips set
        // override-redirect and are not the main window.
        if (map->event != m_root || map->override_redirect)
            continue;
        if (windowPid(map->window) != static_cast<std::uint32_t>(pid))
            continue;
        MappedWindow mapped { map->window, readAt, 0, 0 };
        const XcbReply<xcb_get_geometry_reply_t> geometry { xcb_get_geometry_reply(
            m_connection, xcb_get_geometry(m_connection, map->window), nullptr) };
        if (geometry) {
            mapped.width = geometry->width;
            mapped.height = geometry->height;
        }
        return mapped;
    }
}

std::optional<std::uint32_t> MapWatcher::windowPid(std::uint32_t window)
{
    const XcbReply<xcb_get_property_reply_t> reply { xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1),
        nullptr) };
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 4)
        return std::nullopt;
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
}

} // namespace velmora::bench
