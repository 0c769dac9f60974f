#include "app/SingleInstance.h"

#include "settings/ByteText.h"

#include <windows.h>

namespace velmora {

struct SingleInstanceLock::Handle
{
    HANDLE mutex = nullptr;
};

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : m_name(name)
{
}

SingleInstanceLock::~SingleInstanceLock()
{
    if (m_handle && m_handle->mutex)
        CloseHandle(m_handle->mutex);
}

SingleInstanceLock::Result SingleInstanceLock::acquire()
{
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

} // namespace velmora
