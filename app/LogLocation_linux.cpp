#include "app/LogLocation.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace velmora {

namespace {

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/tmp";
}

} // namespace

std::string logFilePath()
{
    // The XDG base directory rules: a relative $XDG_STATE_HOME is to be ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    const std::string stateFolder =
        (state && state[0] == '/') ? std::string(state) : homeFolder() + "/.local/state";
    return stateFolder + "/Velmora/logs/app.log";
}

} // namespace velmora
