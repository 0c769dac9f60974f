#include "app/LogLocation.h"

#include "settings/ByteText.h"

#include <iostream>
#include <vector>
#include <windows.h>

namespace velmora {

std::string logFilePath()
{
    DWORD size = 0;
    GetUserNameW(nullptr, &size);
    if (size == 0)
        std::cerr << "Error getting username size: " << GetLastError() << std::endl;

    std::vector<wchar_t> buffer(size, L'\0');
    std::string userName = "default";
    if (GetUserNameW(buffer.data(), &size)) {
        const std::u16string units(buffer.begin(),
                                   buffer.begin() + wcsnlen(buffer.data(), buffer.size()));
        userName = lowBytes(units);
    } else {
        std::cerr << "Error getting username: " << GetLastError() << std::endl;
    }
    // Drive and profile root are fixed on purpose, as the folder has always been.
    return "C:\\Users\\" + userName + "\\AppData\\Local\\Velmora\\logs\\app.log";
}

} // namespace velmora
