#include "settings/RememberedLogin.h"

#include "settings/ByteText.h"
#include "settings/SettingsKey.h"

namespace velmora {

std::optional<RememberedLogin> readRememberedLogin(const RegistryStore& store)
{
    std::string ignored;
    std::u16string rememberMe, username, password;
    if (!store.readString(RegistryRoot::CurrentUser, settingsKeyPath, u"rememberme", rememberMe,
                          ignored)
        || rememberMe != u"Yes"
        || !store.readString(RegistryRoot::CurrentUser, settingsKeyPath, u"username", username,
                             ignored)
        || !store.readString(RegistryRoot::CurrentUser, settingsKeyPath, u"password", password,
                             ignored)
        || username.empty())
        return std::nullopt;
    return RememberedLogin { lowBytes(username), lowBytes(password) };
}

} // namespace velmora
