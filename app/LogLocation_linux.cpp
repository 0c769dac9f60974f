#include "app/LogLocation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
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

namespace {

[[noreturn]] void cannot(const std::string& what, const std::string& path)
{
    throw std::runtime_error("Cannot " + what + " " + path + ": " + std::strerror(errno));
}

} // namespace

void prepareLogFile(const std::string& path)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            cannot("make the folder", part);
        if (slash == std::string::npos)
            break;
    }
    // An existing folder may have been made by the logging library, readable by everyone.
    if (::chmod(folder.c_str(), 0700) != 0)
        cannot("make private", folder);
    // Made here with the file's final mode, so it is never readable by others, not even briefly.
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file < 0)
        cannot("open", path);
    const int narrowed = ::fchmod(file, 0600);
    ::close(file);
    if (narrowed != 0)
        cannot("make private", path);
}

void keepLogFileToItself(std::FILE* file)
{
    // The library opens the file without O_CLOEXEC.
    ::fcntl(::fileno(file), F_SETFD, FD_CLOEXEC);
}

} // namespace velmora
