#include "app/SingleInstance.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#include <QString>

namespace velmora {

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
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return Result::Unavailable;

    auto handle = std::make_unique<Handle>(
        folder + QLatin1Char('/') + QString::fromStdString(m_name) + QStringLiteral(".lock"));
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
