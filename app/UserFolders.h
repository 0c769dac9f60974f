#pragma once

#include <QString>

// The user's own folders on Linux, by the XDG base directory rules. Qt 5's QStandardPaths does
// not fit: it takes a relative $XDG_CONFIG_HOME as it is, and knows no state folder.

namespace velmora {

// The folder that `variable` ("XDG_CONFIG_HOME", "XDG_STATE_HOME") names, or `underHome` in the
// home folder when it is unset, empty or relative (the rules say a relative one is ignored).
QString xdgUserFolder(const char* variable, const QString& underHome);

// Makes each missing folder of the absolute `path` for the user alone: mkdir with 0700, which the
// umask may only narrow. Folders that exist are left as they are. False, with errno set and
// `failed` naming the folder, when one cannot be made.
bool makePrivateFolders(const QString& path, QString* failed = nullptr);

} // namespace velmora
