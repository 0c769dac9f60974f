#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh home for one test program: HOME and the XDG folders point into a temporary folder, so
// the log, the settings store, the instance lock and the machine's presets are never the real
// ones.
class IsolatedHome
{
public:
    IsolatedHome();

    QString path() const { return m_dir.path(); }
    QString configFolder() const { return m_dir.path() + QStringLiteral("/config"); }
    QString stateFolder() const { return m_dir.path() + QStringLiteral("/state"); }
    QString runtimeFolder() const { return m_dir.path() + QStringLiteral("/runtime"); }
    // Where an administrator's presets are looked for (XDG_CONFIG_DIRS).
    QString systemConfigFolder() const { return m_dir.path() + QStringLiteral("/xdg"); }
    QString presetFile() const
    {
        return systemConfigFolder() + QStringLiteral("/Velmora/VelmoraAuth.conf");
    }
    QString logFile() const { return stateFolder() + QStringLiteral("/Velmora/logs/app.log"); }
    // The settings folder removed: the program starts as on a new account.
    void clearSettings() const;

private:
    QTemporaryDir m_dir;
};
