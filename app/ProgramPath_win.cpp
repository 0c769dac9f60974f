#include "app/ProgramPath.h"

#include <windows.h>

namespace velmora {

std::optional<std::u16string> executablePath()
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0)
        return std::nullopt;
    return std::u16string(buffer, buffer + length);
}

} // namespace velmora
