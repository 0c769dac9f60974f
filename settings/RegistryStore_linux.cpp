#include "settings/RegistryStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <sys/stat.h>

// Each key is one INI file under the user's config folder: "Software\Velmora\VelmoraAuth" is
// "$XDG_CONFIG_HOME/Velmora/VelmoraAuth.conf". The machine's key is the same file in the first
// system config folder of $XDG_CONFIG_DIRS that holds it (by default /etc/xdg). QSettings keeps
// every UTF-16 unit (it escapes what is not ASCII) and replaces the file atomically through
// QSaveFile, so a crash mid-write leaves the old content or the new one, never half of either.

namespace {

constexpr QFile::Permissions ownerOnlyFile = QFile::ReadOwner | QFile::WriteOwner;

QString configFolder()
{
    // The XDG base directory rules: a relative $XDG_CONFIG_HOME is to be ignored.
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    return QDir::isAbsolutePath(configured) ? configured
                                            : QDir::homePath() + QStringLiteral("/.config");
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

// The store holds a clear-text password: its folders are private to the user and the file is
// readable by the owner alone, from the moment it exists.
bool preparePrivateFile(const QString& path)
{
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    if (!QFileInfo::exists(folder)) {
        // mkdir with 0700 for every folder made here; the umask may only narrow it further.
        QDir parent(QDir::rootPath());
        for (const QString& part : folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            const QString next = parent.filePath(part);
            if (!QFileInfo::exists(next) && ::mkdir(QFile::encodeName(next).constData(), 0700) != 0)
                return false;
            parent.setPath(next);
        }
    }
    if (!info.exists()) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return QFileInfo::exists(path);
        file.close();
    }
    return QFile::setPermissions(path, ownerOnlyFile);
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
                                std::string&) const
{
    // The machine's key is the administrator's file: the program never writes there.
    if (root != RegistryRoot::CurrentUser)
        return false;
    const QString path = storeFile(root, keyPath);
    if (path.isEmpty() || !preparePrivateFile(path))
        return false;
    QSettings store(path, QSettings::IniFormat);
    store.setValue(QString::fromStdU16String(valueName), QString::fromStdU16String(value));
    store.sync();
    return store.status() == QSettings::NoError;
}
