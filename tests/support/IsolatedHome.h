#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh home for one test program: HOME and the XDG folders point into a temporary folder, so
// the log, the settings store and the instance lock never touch the real user's files.
class IsolatedHome
{
public:
    IsolatedHome();

    QString path() const { return m_dir.path(); }
    QString configFolder() const { return m_dir.path() + QStringLiteral("/config"); }
    QString stateFolder() const { return m_dir.path() + QStringLiteral("/state"); }
    QString runtimeFolder() const { return m_dir.path() + QStringLiteral("/runtime"); }
    QString logFile() const { return stateFolder() + QStringLiteral("/Velmora/logs/app.log"); }

private:
    QTemporaryDir m_dir;
};
