#include "app/LogLocation.h"

#include "app/UserFolders.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

std::string logFilePath()
{
    return QFile::encodeName(xdgUserFolder("XDG_STATE_HOME", QStringLiteral(".local/state")))
               .toStdString()
        + "/Velmora/logs/app.log";
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
    if (QString failed; !makePrivateFolders(QFile::decodeName(folder.c_str()), &failed)) {
        const int error = errno;
        const std::string part = QFile::encodeName(failed).toStdString();
        errno = error;
        cannot("make the folder", part);
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
