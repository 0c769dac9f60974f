#include "app/UserFolders.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

// $HOME, or the user's entry in the password database without it.
QString homeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return QFile::decodeName(entry->pw_dir);
    return QStringLiteral("/tmp");
}

} // namespace

QString xdgUserFolder(const char* variable, const QString& underHome)
{
    const QString configured = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(configured) ? configured
                                            : homeFolder() + QLatin1Char('/') + underHome;
}

bool makePrivateFolders(const QString& path, QString* failed)
{
    for (qsizetype slash = path.indexOf(QLatin1Char('/'), 1);;
         slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
        const QString folder = path.left(slash < 0 ? path.size() : slash);
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
            const int error = errno;
            if (failed)
                *failed = folder;
            errno = error;
            return false;
        }
        if (slash < 0)
            return true;
    }
}

} // namespace velmora
