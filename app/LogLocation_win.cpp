#include "app/LogLocation.h"

#include "settings/ByteText.h"

#include <cstring>
#include <cwchar>
#include <io.h>
#include <iostream>
#include <vector>
#include <windows.h>

namespace velmora {

namespace {

// The user's folder is named by the low byte of each unit of the name. For a unit above U+00FF
// that byte can be NUL (Hangul U+AC00, CJK U+4E00), a control character or one Windows refuses in
// a file name, which would cut the path short or leave the log nowhere; such a byte becomes '_'.
std::string folderName(std::u16string_view userName)
{
    std::string name = lowBytes(userName);
    for (char& byte : name) {
        if (static_cast<unsigned char>(byte) < 0x20 || std::strchr("\\/:*?\"<>|", byte))
            byte = '_';
    }
    return name;
}

} // namespace

std::string logFilePath()
{
    DWORD size = 0;
    GetUserNameW(nullptr, &size);
    if (size == 0)
        std::cerr << "Error getting username size: " << GetLastError() << std::endl;

    std::vector<wchar_t> buffer(size, L'\0');
    std::string userName = "default";
    if (GetUserNameW(buffer.data(), &size)) {
        const std::u16string units(buffer.data(),
                                   buffer.data() + wcsnlen(buffer.data(), buffer.size()));
        userName = folderName(units);
    } else {
        std::cerr << "Error getting username: " << GetLastError() << std::endl;
    }
    // Drive and profile root are fixed on purpose, as the folder has always been.
    return "C:\\Users\\" + userName + "\\AppData\\Local\\Velmora\\logs\\app.log";
}

// The profile's AppData\Local belongs to the user alone; the logging library makes the folders.
void prepareLogFile(const std::string&)
{
}

void keepLogFileToItself(std::FILE* file)
{
    // The C runtime's files are inheritable, and _popen starts the tracer with inherited handles.
    SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))),
                         HANDLE_FLAG_INHERIT, 0);
}

} // namespace velmora
