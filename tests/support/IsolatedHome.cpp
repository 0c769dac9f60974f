#include "support/IsolatedHome.h"

#include <QDir>
#include <QFile>

IsolatedHome::IsolatedHome()
{
    QDir().mkpath(configFolder());
    QDir().mkpath(stateFolder());
    QDir().mkpath(runtimeFolder());
    QDir().mkpath(systemConfigFolder());
    // Qt insists on a private runtime folder.
    QFile::setPermissions(runtimeFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", m_dir.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", configFolder().toUtf8());
    qputenv("XDG_STATE_HOME", stateFolder().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtimeFolder().toUtf8());
    // The machine's presets too: one in /etc/xdg must not reach the tests.
    qputenv("XDG_CONFIG_DIRS", systemConfigFolder().toUtf8());
}

void IsolatedHome::clearSettings() const
{
    QDir(configFolder() + QStringLiteral("/Velmora")).removeRecursively();
}
