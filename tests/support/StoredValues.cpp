#include "support/StoredValues.h"

#include "settings/ByteText.h"
#include "settings/RegistryStore.h"
#include "settings/SettingsKey.h"

std::string storedValue(const std::u16string& name)
{
    std::u16string value;
    std::string error;
    if (!RegistryStore().readString(RegistryRoot::CurrentUser, settingsKeyPath, name, value, error))
        return "<missing>";
    return velmora::lowBytes(value);
}

bool storeValue(const std::u16string& name, const std::string& utf8)
{
    std::string error;
    return RegistryStore().writeString(RegistryRoot::CurrentUser, settingsKeyPath, name,
                                       velmora::widenBytes(utf8), error);
}
