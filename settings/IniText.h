#pragma once

#include <QByteArray>
#include <QString>

#include <utility>
#include <vector>

// The settings file on Linux is an INI file in the format QSettings reads and writes. QSettings
// still reads it; this writes it, as one edit of the whole text, because QSettings' own sync
// takes a lock file with a disk sync of its own for every write.
namespace velmora {

// The text with each value set as a string under its name in the general section (the last of
// a repeated name wins), escaped as QSettings escapes it. An entry that names one of them is
// replaced where it stands, and one that is missing is added to the end of that section; every
// other byte (other entries, other sections, comments) stays as it was.
QByteArray withIniValues(const QByteArray& text,
                         const std::vector<std::pair<QString, QString>>& values);

// One "name=value" line of the general section, without its line break.
QByteArray iniEntry(const QString& name, const QString& value);

} // namespace velmora
