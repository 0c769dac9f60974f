#include "app/StartWithDesktop.h"

#include "app/ProgramPath.h"
#include "settings/RegistryStore.h"

#include <string>
#include <windows.h>

// A value of the user's Run key: the shell starts its command line at every logon.

namespace velmora {

namespace {

const std::u16string runKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::u16string valueName = u"Velmora Auth";

// The settings store has no removal: the program never removes a setting of its own.
bool removeRunValue()
{
    HKEY key = nullptr;
    const LSTATUS opened =
        RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(runKey.c_str()), 0,
                      KEY_SET_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return true;
    if (opened != ERROR_SUCCESS)
        return false;
    const LSTATUS removed =
        RegDeleteValueW(key, reinterpret_cast<const wchar_t*>(valueName.c_str()));
    RegCloseKey(key);
    return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
}

} // namespace

bool startsWithDesktop()
{
    std::u16string command;
    std::string error;
    return RegistryStore().readString(RegistryRoot::CurrentUser, runKey, valueName, command, error)
        && !command.empty();
}

bool setStartWithDesktop(bool on)
{
    if (!on)
        return removeRunValue();
    const std::optional<std::u16string> program = executablePath();
    if (!program)
        return false;
    // Quoted: the program's own file name has a blank in it.
    std::u16string command = u"\"" + *program + u"\" --";
    for (const char* c = startHiddenOption; *c; ++c)
        command += static_cast<char16_t>(*c);
    std::string error;
    return RegistryStore().writeString(RegistryRoot::CurrentUser, runKey, valueName, command,
                                       error);
}

} // namespace velmora
