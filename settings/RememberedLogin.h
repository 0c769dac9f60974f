#pragma once

#include "settings/RegistryStore.h"

#include <optional>
#include <string>

namespace velmora {

// The credentials that "Remember me" keeps for the next start.
struct RememberedLogin
{
    std::string username;
    std::string password;
};

// What the settings store remembers: nothing unless "Remember me" was ticked at the last login
// with a name. The password is blank where the desktop's keyring holds it. Safe on any thread:
// the store has no state.
std::optional<RememberedLogin> readRememberedLogin(const RegistryStore& store);

} // namespace velmora
