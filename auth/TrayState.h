#pragma once

#include <QIcon>

namespace velmora {

// What the tray icon shows: the state of the portal session as the window believes it.
enum class TrayState { NotConnected, UnderWay, Connected };

// The image of a state, drawn for 16, 22, 32 and 48 pixels.
QIcon trayImage(TrayState state);

} // namespace velmora
