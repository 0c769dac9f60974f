#include "app/SystemEvents.h"

// winsock2.h must come before windows.h, and the IP helper after both.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
// clang-format on

#include <condition_variable>
#include <mutex>
#include <thread>

// The IP helper's notices of interfaces and addresses (they come on threads of the system's
// pool), and the power broadcast, which Windows sends only to top-level windows: a hidden one on
// a thread of its own, with its own message loop.

namespace velmora {

namespace {

const wchar_t windowClass[] = L"VelmoraAuthSystemEvents";

} // namespace

class SystemEvents::Watcher
{
public:
    explicit Watcher(Handler handler);
    ~Watcher();

private:
    static void CALLBACK interfaceChanged(void* context, MIB_IPINTERFACE_ROW* row,
                                          MIB_NOTIFICATION_TYPE type);
    static void CALLBACK addressChanged(void* context, MIB_UNICASTIPADDRESS_ROW* row,
                                        MIB_NOTIFICATION_TYPE type);
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    void runWindow();

    Handler m_handler;
    HANDLE m_interfaceNotices = nullptr;
    HANDLE m_addressNotices = nullptr;
    std::thread m_windowThread;
    std::mutex m_mutex;
    std::condition_variable m_windowMade;
    bool m_windowTried = false;
    HWND m_window = nullptr;
};

SystemEvents::Watcher::Watcher(Handler handler)
    : m_handler(std::move(handler))
{
    // An interface that connects, and an address that arrives (the network's own word that it
    // is usable), both say the network came up or changed.
    const bool interfaces = NotifyIpInterfaceChange(AF_UNSPEC, &Watcher::interfaceChanged, this,
                                                    FALSE, &m_interfaceNotices)
        == NO_ERROR;
    const bool addresses = NotifyUnicastIpAddressChange(AF_UNSPEC, &Watcher::addressChanged, this,
                                                        FALSE, &m_addressNotices)
        == NO_ERROR;
    if (!interfaces)
        m_interfaceNotices = nullptr;
    if (!addresses)
        m_addressNotices = nullptr;
    if (!interfaces && !addresses)
        m_handler(SystemEvent::noNetworkEvents);

    m_windowThread = std::thread([this] { runWindow(); });
    std::unique_lock lock(m_mutex);
    m_windowMade.wait(lock, [this] { return m_windowTried; });
    if (!m_window)
        m_handler(SystemEvent::noResumeEvents);
}

SystemEvents::Watcher::~Watcher()
{
    // Each waits for a notice under way, so none comes after this.
    if (m_interfaceNotices)
        CancelMibChangeNotify2(m_interfaceNotices);
    if (m_addressNotices)
        CancelMibChangeNotify2(m_addressNotices);
    HWND window = nullptr;
    {
        std::lock_guard lock(m_mutex);
        window = m_window;
    }
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0);
    m_windowThread.join();
}

void CALLBACK SystemEvents::Watcher::interfaceChanged(void* context, MIB_IPINTERFACE_ROW* row,
                                                      MIB_NOTIFICATION_TYPE type)
{
    if (!row || (type != MibAddInstance && type != MibParameterNotification))
        return;
    // The notice carries the interface's key only: its state is asked for.
    MIB_IPINTERFACE_ROW entry {};
    entry.Family = row->Family;
    entry.InterfaceLuid = row->InterfaceLuid;
    entry.InterfaceIndex = row->InterfaceIndex;
    if (GetIpInterfaceEntry(&entry) == NO_ERROR && entry.Connected)
        static_cast<Watcher*>(context)->m_handler(SystemEvent::networkUp);
}

void CALLBACK SystemEvents::Watcher::addressChanged(void* context, MIB_UNICASTIPADDRESS_ROW*,
                                                    MIB_NOTIFICATION_TYPE type)
{
    if (type == MibAddInstance)
        static_cast<Watcher*>(context)->m_handler(SystemEvent::networkUp);
}

LRESULT CALLBACK SystemEvents::Watcher::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                                        LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* created = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(created->lpCreateParams));
    }
    auto* watcher = reinterpret_cast<Watcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_POWERBROADCAST:
        // Every resume starts with the automatic one; the one that follows a user's key press
        // would be a second event for the same wake.
        if (watcher && wParam == PBT_APMRESUMEAUTOMATIC)
            watcher->m_handler(SystemEvent::resumed);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void SystemEvents::Watcher::runWindow()
{
    WNDCLASSEXW windowType {};
    windowType.cbSize = sizeof(windowType);
    windowType.lpfnWndProc = &Watcher::windowProcedure;
    windowType.hInstance = GetModuleHandleW(nullptr);
    windowType.lpszClassName = windowClass;
    // Registered once per process; a second watcher finds it there.
    RegisterClassExW(&windowType);
    // Top-level and never shown: a message-only window would not get the broadcast.
    HWND window = CreateWindowExW(0, windowClass, L"Velmora Auth system events", WS_OVERLAPPED, 0,
                                  0, 0, 0, nullptr, nullptr, windowType.hInstance, this);
    {
        std::lock_guard lock(m_mutex);
        m_window = window;
        m_windowTried = true;
    }
    m_windowMade.notify_all();
    if (!window)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

SystemEvents::SystemEvents(Handler handler)
    : m_watcher(std::make_unique<Watcher>(std::move(handler)))
{
}

SystemEvents::~SystemEvents() = default;

} // namespace velmora
