#pragma once

#include "settings/RegistryStore.h"

namespace velmora {

// "Log in automatically": "1" or "0" under the settings key; missing means off.
inline constexpr char16_t automaticLoginValueName[] = u"auto_login";
// Why the automatic login waits for the user, kept across restarts: "logout", "appliance",
// "identity", or empty (or missing) when it may act.
inline constexpr char16_t automaticLoginHoldValueName[] = u"auto_login_held";

bool automaticLoginIsOn(const RegistryStore& store);
// True when the value is stored.
bool setAutomaticLogin(const RegistryStore& store, bool on);

// Only the user's own login from the window lifts a hold.
enum class AutomaticLoginHold {
    none,
    userLoggedOut, // the user pressed Logout
    endedByAppliance, // an administrator's "kicked out" or "blocked by"
    identityChanged, // the appliance showed another identity: only the window asks about it
};

AutomaticLoginHold automaticLoginHold(const RegistryStore& store);
bool setAutomaticLoginHold(const RegistryStore& store, AutomaticLoginHold hold);

} // namespace velmora
