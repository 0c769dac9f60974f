#include "settings/AutomaticLoginSettings.h"

#include "settings/SettingsKey.h"

#include <string>

namespace velmora {

namespace {

std::u16string readValue(const RegistryStore& store, const char16_t* name)
{
    std::u16string value;
    std::string ignored;
    store.readString(RegistryRoot::CurrentUser, settingsKeyPath, name, value, ignored);
    return value;
}

bool writeValue(const RegistryStore& store, const char16_t* name, const std::u16string& value)
{
    std::string ignored;
    return store.writeString(RegistryRoot::CurrentUser, settingsKeyPath, name, value, ignored);
}

} // namespace

bool automaticLoginIsOn(const RegistryStore& store)
{
    return readValue(store, automaticLoginValueName) == u"1";
}

bool setAutomaticLogin(const RegistryStore& store, bool on)
{
    return writeValue(store, automaticLoginValueName, on ? u"1" : u"0");
}

AutomaticLoginHold automaticLoginHold(const RegistryStore& store)
{
    const std::u16string value = readValue(store, automaticLoginHoldValueName);
    if (value == u"logout")
        return AutomaticLoginHold::userLoggedOut;
    if (value == u"appliance")
        return AutomaticLoginHold::endedByAppliance;
    if (value == u"identity")
        return AutomaticLoginHold::identityChanged;
    return AutomaticLoginHold::none;
}

bool setAutomaticLoginHold(const RegistryStore& store, AutomaticLoginHold hold)
{
    const char16_t* text = u"";
    switch (hold) {
    case AutomaticLoginHold::none:
        break;
    case AutomaticLoginHold::userLoggedOut:
        text = u"logout";
        break;
    case AutomaticLoginHold::endedByAppliance:
        text = u"appliance";
        break;
    case AutomaticLoginHold::identityChanged:
        text = u"identity";
        break;
    }
    return writeValue(store, automaticLoginHoldValueName, text);
}

} // namespace velmora
