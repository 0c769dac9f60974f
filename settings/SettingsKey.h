#pragma once

// The per-user settings key: remembered credentials, the appliance endpoint and the session.
inline constexpr char16_t settingsKeyPath[] = u"Software\\Velmora\\VelmoraAuth";
