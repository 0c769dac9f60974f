#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QString>
#include <QSysInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

// A folder no other user can have made or can change: a real folder (no link), owned by this
// user, for this user alone.
bool isPrivateFolder(const QString& path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid() && (status.st_mode & 07777) == 0700;
}

// Makes each missing folder of `path` for the user alone, and narrows the last one.
bool makePrivateFolder(const QString& path)
{
    for (qsizetype slash = path.indexOf(QLatin1Char('/'), 1);;
         slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
        ::mkdir(QFile::encodeName(path.left(slash < 0 ? path.size() : slash)).constData(), 0700);
        if (slash < 0)
            break;
    }
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid())
        ::chmod(QFile::encodeName(path).constData(), 0700);
    return isPrivateFolder(path);
}

} // namespace

struct SingleInstanceLock::Handle
{
    explicit Handle(const QString& path)
        : file(path)
    {
    }
    QLockFile file;
};

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : m_name(name)
{
}

SingleInstanceLock::~SingleInstanceLock() = default;

SingleInstanceLock::Result SingleInstanceLock::acquire()
{
    // The runtime folder belongs to the user's login session, as a session-local mutex does.
    // Without a sound one, the lock lives in the user's own state folder, per machine, since a
    // home folder may be shared between machines. Never in a shared temporary folder, as Qt's
    // fallback is: another user can make that folder first, and so switch the lock off.
    QString lockFile;
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (runtime.startsWith(QLatin1Char('/')) && isPrivateFolder(runtime)) {
        lockFile = runtime + QLatin1Char('/') + QString::fromStdString(m_name);
    } else {
        const QString state = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
        const QString folder = (state.startsWith(QLatin1Char('/'))
                                    ? state
                                    : QDir::homePath() + QStringLiteral("/.local/state"))
            + QStringLiteral("/Velmora/instance");
        if (!makePrivateFolder(folder))
            return Result::Unavailable;
        lockFile = folder + QLatin1Char('/') + QString::fromStdString(m_name) + QLatin1Char('@')
            + QSysInfo::machineHostName();
    }

    auto handle = std::make_unique<Handle>(lockFile + QStringLiteral(".lock"));
    // Never stale by age: a copy may run for weeks. A lock whose process has died is still taken
    // over, because QLockFile checks whether the holder is alive.
    handle->file.setStaleLockTime(0);
    if (handle->file.tryLock(0)) {
        m_handle = std::move(handle);
        return Result::Acquired;
    }
    return handle->file.error() == QLockFile::LockFailedError ? Result::AlreadyHeld
                                                              : Result::Unavailable;
}

} // namespace velmora
