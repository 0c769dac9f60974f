#include "app/ProgramPath.h"

#include <vector>
#include <windows.h>

namespace velmora {

std::optional<std::u16string> executablePath()
{
    // MAX_PATH fits nearly every install, but a long-path aware system can start the program from
    // a deeper folder. A full buffer means the path was cut short (the call still succeeds), so
    // grow it up to the longest path Windows has.
    constexpr DWORD longestPath = 32768;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
        if (length == 0)
            return std::nullopt;
        if (length < capacity)
            return std::u16string(buffer.data(), buffer.data() + length);
        if (capacity >= longestPath)
            return std::nullopt;
        buffer.resize(capacity * 2);
    }
}

} // namespace velmora
