#pragma once

namespace velmora {

// The option with which the desktop starts the program at login: in the tray, window not shown.
inline constexpr char startHiddenOption[] = "start-hidden";

// Whether the program starts with the user's desktop session: an entry in the desktop's autostart
// folder on Linux, a value under the user's Run key on Windows. Read from the system each time,
// so an entry removed by hand counts as off.
bool startsWithDesktop();

// Writes or removes that entry; true when it is as asked afterwards.
bool setStartWithDesktop(bool on);

} // namespace velmora
