#include "settings/RegistryStore.h"

#include "settings/IniText.h"

#include "app/UserFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Each key is one INI file under the user's config folder: "Software\Velmora\VelmoraAuth" is
// "$XDG_CONFIG_HOME/Velmora/VelmoraAuth.conf". The machine's key is the same file in the first
// system config folder of $XDG_CONFIG_DIRS that holds it (by default /etc/xdg). QSettings reads
// them; writes edit the user's file's text here (IniText) and replace the whole file in one step
// through QSaveFile, so that a crash at any moment leaves all of the old content or all of the
// new, and a group of values is one such step. QSettings' own write would cost two disk syncs
// (its lock file's and the file's) for each value.

namespace {

constexpr QFile::Permissions ownerOnlyFile = QFile::ReadOwner | QFile::WriteOwner;

QString configFolder()
{
    return velmora::xdgUserFolder("XDG_CONFIG_HOME", QStringLiteral(".config"));
}

// The system config folders, most important first. The XDG base directory rules: unset or empty
// means /etc/xdg, and relative entries are to be ignored.
QStringList systemConfigFolders()
{
    QStringList folders;
    for (const QString& folder :
         qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(folder))
            folders << folder;
    }
    return folders.isEmpty() ? QStringList { QStringLiteral("/etc/xdg") } : folders;
}

// The file behind a key path below a config folder, or an empty text for a path that names no
// file.
QString keyFile(const std::u16string& keyPath)
{
    QStringList parts =
        QString::fromStdU16String(keyPath).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (!parts.isEmpty()
        && parts.first().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    if (parts.isEmpty())
        return {};
    for (const QString& part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String("..")
            || part.contains(QLatin1Char('/')))
            return {};
    }
    return parts.join(QLatin1Char('/')) + QStringLiteral(".conf");
}

QString storeFile(RegistryRoot root, const std::u16string& keyPath)
{
    const QString file = keyFile(keyPath);
    if (file.isEmpty())
        return {};
    if (root == RegistryRoot::CurrentUser)
        return configFolder() + QLatin1Char('/') + file;
    for (const QString& folder : systemConfigFolders()) {
        if (QFileInfo(folder + QLatin1Char('/') + file).isFile())
            return folder + QLatin1Char('/') + file;
    }
    return {};
}

// The store holds a clear-text password: its folders are private to the user (mkdir with 0700
// for every folder made here; the umask may only narrow it further).
bool makePrivateFolder(const QString& folder)
{
    return QFileInfo::exists(folder) || velmora::makePrivateFolders(folder);
}

// Writers of one store take turns, so that none replaces the file with an edit of content that
// another has replaced meanwhile. The lock is on the folder, which outlives every replacement of
// the file, and costs no disk write. Where the file system refuses it the write goes ahead
// unlocked: the program runs once per user.
class FolderLock
{
public:
    explicit FolderLock(const QString& folder)
        : m_fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (m_fd >= 0) {
            while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) { }
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int m_fd;
};

// QSettings keeps what it parsed of a file and parses it again only when the file's size or
// modification time (in milliseconds) differs. A replacement within the same millisecond and of
// the same size would go unseen, so each new file is dated at least a millisecond after the one
// it replaces.
void dateAfter(int fd, const QString& replaced)
{
    struct stat old = {};
    if (::stat(QFile::encodeName(replaced).constData(), &old) != 0)
        return;
    timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    timespec later = old.st_mtim;
    later.tv_nsec += 1000000;
    if (later.tv_nsec >= 1000000000) {
        later.tv_nsec -= 1000000000;
        ++later.tv_sec;
    }
    const bool nowIsLater =
        now.tv_sec > later.tv_sec || (now.tv_sec == later.tv_sec && now.tv_nsec >= later.tv_nsec);
    const timespec times[2] = { { 0, UTIME_OMIT }, nowIsLater ? now : later };
    ::futimens(fd, times);
}

// Sets the values in the file in one replacement: one write of the new text, one disk sync,
// one rename over the old file.
bool replaceValues(const QString& path, const std::vector<std::pair<QString, QString>>& values)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!makePrivateFolder(folder))
        return false;
    const FolderLock lock(folder);

    QByteArray text;
    QFile current(path);
    if (current.open(QIODevice::ReadOnly)) {
        text = current.readAll();
        if (current.error() != QFileDevice::NoError)
            return false;
        current.close();
    } else if (QFileInfo::exists(path)) {
        return false; // unreadable: writing would lose what it holds
    }

    const QByteArray newText = velmora::withIniValues(text, values);
    // The values are stored already (as the blanked credentials are at every login without
    // "Remember me"): no replacement and no disk sync.
    struct stat info = {};
    if (newText == text && ::stat(QFile::encodeName(path).constData(), &info) == 0)
        return (info.st_mode & 07777) == 0600 || QFile::setPermissions(path, ownerOnlyFile);

    QSaveFile file(path);
    // Owner only before the first byte is written: a new file would get 0666 less the umask,
    // and an existing one passes its own mode on.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnlyFile))
        return false;
    if (file.write(newText) != newText.size() || !file.flush())
        return false;
    dateAfter(file.handle(), path);
    return file.commit();
}

} // namespace

bool RegistryStore::readString(RegistryRoot root, const std::u16string& keyPath,
                               const std::u16string& valueName, std::u16string& value,
                               std::string&) const
{
    const QString path = storeFile(root, keyPath);
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    const QSettings store(path, QSettings::IniFormat);
    if (store.status() != QSettings::NoError)
        return false;
    // Only text counts, as only REG_SZ does: a number, a byte array or a list written by hand
    // reads as missing.
    const QVariant stored = store.value(QString::fromStdU16String(valueName));
    if (stored.userType() != QMetaType::QString)
        return false;
    const QString text = stored.toString();
    const int end = text.indexOf(QChar(u'\0'));
    value = (end < 0 ? text : text.left(end)).toStdU16String();
    return true;
}

bool RegistryStore::writeString(RegistryRoot root, const std::u16string& keyPath,
                                const std::u16string& valueName, const std::u16string& value,
                                std::string& error) const
{
    return writeStrings(root, keyPath, { { valueName, value } }, error).front();
}

std::vector<bool> RegistryStore::writeStrings(RegistryRoot root, const std::u16string& keyPath,
                                              const std::vector<RegistryValue>& values,
                                              std::string&) const
{
    // The machine's key is the administrator's file: the program never writes there.
    if (root != RegistryRoot::CurrentUser)
        return std::vector<bool>(values.size(), false);
    std::vector<std::pair<QString, QString>> texts;
    bool named = true;
    for (const RegistryValue& value : values) {
        named = named && !value.name.empty();
        texts.emplace_back(QString::fromStdU16String(value.name),
                           QString::fromStdU16String(value.value));
    }
    const QString path = storeFile(root, keyPath);
    const bool stored = !values.empty() && named && !path.isEmpty() && replaceValues(path, texts);
    return std::vector<bool>(values.size(), stored);
}
