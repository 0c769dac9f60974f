#include "app/StartWithDesktop.h"

#include "app/UserFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

// An entry in the autostart folder of the XDG rules ($XDG_CONFIG_HOME/autostart), named after the
// application id; desktops start its Exec line when the user logs in.

namespace velmora {

namespace {

const QString entryName = QStringLiteral("com.velmora.VelmoraAuth.desktop");

QString autostartFolder()
{
    return xdgUserFolder("XDG_CONFIG_HOME", QStringLiteral(".config"))
        + QStringLiteral("/autostart");
}

QString entryFile()
{
    return autostartFolder() + QLatin1Char('/') + entryName;
}

// One argument of an Exec line as the desktop entry rules want it: quoted when it holds a
// reserved character, with the quoting rule's backslashes, and then every backslash doubled by
// the string rule of the file. Empty for a text that an Exec line cannot carry.
QString execArgument(const QString& argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    QString quoted;
    for (const QChar c : argument) {
        if (c.category() == QChar::Other_Control)
            return {};
        needsQuotes = needsQuotes || reserved.contains(c);
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
            || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c == QLatin1Char('%') ? QStringLiteral("%%") : QString(c);
    }
    if (!needsQuotes)
        return quoted;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Turned off without removing the file, as some desktops' settings do it.
bool isSwitchedOff(QFile& file)
{
    QTextStream lines(&file);
    bool inEntry = false;
    while (!lines.atEnd()) {
        const QString line = lines.readLine().trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry
                 && (line == QLatin1String("Hidden=true")
                     || line == QLatin1String("X-GNOME-Autostart-enabled=false")))
            return true;
    }
    return false;
}

} // namespace

bool startsWithDesktop()
{
    QFile file(entryFile());
    return QFileInfo(file).isFile() && file.open(QIODevice::ReadOnly) && !isSwitchedOff(file);
}

bool setStartWithDesktop(bool on)
{
    const QString path = entryFile();
    if (!on)
        return !QFileInfo::exists(path) || QFile::remove(path);

    // The running program's own path: the desktop's search path at login may not hold its folder.
    const QString program = execArgument(QCoreApplication::applicationFilePath());
    if (program.isEmpty() || !QDir().mkpath(autostartFolder()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream entry(&file);
    entry << "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Velmora Auth\n"
             "Comment=Sign in to the captive portal and stay connected\n"
          << "Exec=" << program << " --" << startHiddenOption << '\n'
          << "Icon=com.velmora.VelmoraAuth\n"
             "Terminal=false\n"
             "StartupNotify=false\n"
             "X-GNOME-Autostart-enabled=true\n";
    entry.flush();
    return file.commit();
}

} // namespace velmora
