#include "app/ProgramPath.h"

#include "settings/ByteText.h"

#include <climits>
#include <unistd.h>

namespace velmora {

std::optional<std::u16string> executablePath()
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0)
        return std::nullopt;
    // File names here are bytes; widening keeps every byte for the caller's narrowing.
    return widenBytes(std::string_view(buffer, static_cast<size_t>(length)));
}

} // namespace velmora
