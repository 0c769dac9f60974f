#include "app/SingleInstance.h"

#include "app/UserFolders.h"

#include <QFile>
#include <QLockFile>
#include <QSocketNotifier>
#include <QString>
#include <QSysInfo>

#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
    makePrivateFolders(path);
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid())
        ::chmod(QFile::encodeName(path).constData(), 0700);
    return isPrivateFolder(path);
}

// The address of a socket file; none for a path longer than an address holds.
std::optional<sockaddr_un> socketAddress(const std::string& path)
{
    sockaddr_un address = {};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

} // namespace

struct SingleInstanceLock::Handle
{
    explicit Handle(const QString& path)
        : file(path)
    {
    }
    ~Handle()
    {
        notifier.reset();
        if (listener >= 0) {
            ::unlink(socketPath.c_str());
            ::close(listener);
        }
    }
    QLockFile file; // released after the socket has gone
    std::string socketPath;
    int listener = -1;
    std::unique_ptr<QSocketNotifier> notifier;
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
        const QString folder = xdgUserFolder("XDG_STATE_HOME", QStringLiteral(".local/state"))
            + QStringLiteral("/Velmora/instance");
        if (!makePrivateFolder(folder))
            return Result::Unavailable;
        lockFile = folder + QLatin1Char('/') + QString::fromStdString(m_name) + QLatin1Char('@')
            + QSysInfo::machineHostName();
    }

    // In the same private folder, so only this user can ask the holder anything.
    m_channel = QFile::encodeName(lockFile + QStringLiteral(".socket")).toStdString();
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

bool SingleInstanceLock::listenForLaterStarts(std::function<void()> show)
{
    const auto address = socketAddress(m_channel);
    if (!m_handle || m_handle->listener >= 0 || !address)
        return false;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0)
        return false;
    // A socket a copy left when it died: this copy holds the lock, so no other listens there.
    ::unlink(m_channel.c_str());
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0
        || ::listen(listener, 8) != 0) {
        ::close(listener);
        return false;
    }
    m_handle->socketPath = m_channel;
    m_handle->listener = listener;
    // The connection is the whole request: the later start sends nothing, and waits for nothing.
    m_handle->notifier = std::make_unique<QSocketNotifier>(listener, QSocketNotifier::Read);
    QObject::connect(
        m_handle->notifier.get(), &QSocketNotifier::activated, [listener, show = std::move(show)] {
            for (int peer;
                 (peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK))
                 >= 0;) {
                ::close(peer);
                show();
            }
        });
    return true;
}

bool SingleInstanceLock::askHolderToShow()
{
    const auto address = socketAddress(m_channel);
    if (!address)
        return false;
    const int peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (peer < 0)
        return false;
    const bool reached =
        ::connect(peer, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0;
    ::close(peer);
    return reached;
}

} // namespace velmora
