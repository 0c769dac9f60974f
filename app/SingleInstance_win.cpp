#include "app/SingleInstance.h"

#include "settings/ByteText.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace velmora {

namespace {

std::wstring wide(const std::string& bytes)
{
    const std::u16string name = widenBytes(bytes);
    return std::wstring(name.begin(), name.end());
}

// One instance of the pipe, made only if no other process has one of that name: nobody can
// stand in for the holder and take the requests of later starts.
HANDLE makePipe(const std::wstring& name)
{
    return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 0, 0,
                            nullptr);
}

// What the thread that waits for later starts works with: the pipe instance it waits on.
struct Listener
{
    HANDLE thread = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    std::wstring pipeName;
    std::function<void()> show;
    std::atomic<bool> stopping { false };
};

DWORD WINAPI listenForStarts(void* argument)
{
    auto* listener = static_cast<Listener*>(argument);
    while (listener->pipe != INVALID_HANDLE_VALUE) {
        // A start that connected and closed before this call counts as one that connects now.
        const bool connected = ConnectNamedPipe(listener->pipe, nullptr)
            || GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA;
        DisconnectNamedPipe(listener->pipe);
        CloseHandle(listener->pipe);
        listener->pipe = INVALID_HANDLE_VALUE;
        if (listener->stopping)
            break;
        if (connected)
            listener->show();
        listener->pipe = makePipe(listener->pipeName);
    }
    return 0;
}

} // namespace

struct SingleInstanceLock::Handle
{
    HANDLE mutex = nullptr;
    std::unique_ptr<Listener> listener;
};

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : m_name(name)
{
}

SingleInstanceLock::~SingleInstanceLock()
{
    if (!m_handle)
        return;
    if (Listener* listener = m_handle->listener.get()) {
        // The listener waits for a connection: this one wakes it to its end. One that does not
        // end in time is left to the end of the process, with what it uses.
        listener->stopping = true;
        bool ended = false;
        for (int attempt = 0; attempt < 20 && !ended; ++attempt) {
            const HANDLE wake = CreateFileW(listener->pipeName.c_str(), GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
            if (wake != INVALID_HANDLE_VALUE)
                CloseHandle(wake);
            ended = WaitForSingleObject(listener->thread, 100) == WAIT_OBJECT_0;
        }
        CloseHandle(listener->thread);
        if (!ended)
            m_handle->listener.release();
    }
    if (m_handle->mutex)
        CloseHandle(m_handle->mutex);
}

SingleInstanceLock::Result SingleInstanceLock::acquire()
{
    // A pipe's name is seen by the whole machine, unlike the mutex's: the logon session's number
    // keeps the copies of other sessions apart.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    m_channel = "\\\\.\\pipe\\" + m_name + " " + std::to_string(session);

    // No "Global\" or "Local\" prefix: the name lives in the logon session's namespace.
    const std::u16string name = widenBytes(m_name);
    HANDLE mutex = CreateMutexW(nullptr, TRUE, reinterpret_cast<const wchar_t*>(name.c_str()));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex)
            CloseHandle(mutex);
        return Result::AlreadyHeld;
    }
    if (!mutex)
        return Result::Unavailable;
    m_handle = std::make_unique<Handle>();
    m_handle->mutex = mutex;
    return Result::Acquired;
}

bool SingleInstanceLock::listenForLaterStarts(std::function<void()> show)
{
    if (!m_handle || m_handle->listener)
        return false;
    auto listener = std::make_unique<Listener>();
    listener->pipeName = wide(m_channel);
    listener->show = std::move(show);
    listener->pipe = makePipe(listener->pipeName);
    if (listener->pipe == INVALID_HANDLE_VALUE)
        return false;
    listener->thread = CreateThread(nullptr, 0, listenForStarts, listener.get(), 0, nullptr);
    if (!listener->thread) {
        CloseHandle(listener->pipe);
        return false;
    }
    m_handle->listener = std::move(listener);
    return true;
}

bool SingleInstanceLock::askHolderToShow()
{
    if (m_channel.empty())
        return false;
    // The holder may bring its window to the front only with the word of the process that has
    // the user's attention, which is this one.
    AllowSetForegroundWindow(ASFW_ANY);
    const std::wstring name = wide(m_channel);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const HANDLE pipe =
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
            return true;
        }
        // Busy: the holder is between two starts' requests.
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(name.c_str(), 1000))
            return false;
    }
    return false;
}

} // namespace velmora
