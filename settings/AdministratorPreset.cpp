#include "auth/VelmoraAuth.h"

#include "app/Ipv4Address.h"
#include "app/Trace.h"
#include "settings/ByteText.h"
#include "settings/SettingsKey.h"

#include <charconv>
#include <mutex>
#include <optional>

// An administrator may preset the appliance's endpoint for every user of the machine: the values
// "keep_fixedIP" and "keep_fixedPort" of the settings key under the machine's root (Windows:
// HKEY_LOCAL_MACHINE; Linux: Velmora/VelmoraAuth.conf in a folder of $XDG_CONFIG_DIRS, by default
// /etc/xdg). A user whose own store holds no endpoint starts with the preset as the remembered
// endpoint, so with both boxes ticked the first login probes it and needs no route trace. The
// user's own store always wins and is never written here.

namespace {

// A number from 0 to max, in decimal digits only.
std::optional<int> decimal(const std::string& text, int max)
{
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || text.front() == '-' || error != std::errc()
        || end != text.data() + text.size() || number > max)
        return std::nullopt;
    return number;
}

} // namespace

void VelmoraAuth::applyAdministratorPreset()
{
    {
        std::lock_guard lock(stateMutex);
        if (!fixedIP.empty())
            return;
    }
    std::u16string address, port;
    std::string ignored;
    const bool hasAddress = registryStore.readString(RegistryRoot::LocalMachine, settingsKeyPath,
                                                     valueKeepFixedIP, address, ignored);
    const bool hasPort = registryStore.readString(RegistryRoot::LocalMachine, settingsKeyPath,
                                                  valueKeepFixedPort, port, ignored);
    if (!hasAddress && !hasPort)
        return;

    const std::optional<std::string> addressText =
        velmora::canonicalIpv4(velmora::lowBytes(address));
    const std::string portText = velmora::lowBytes(port);
    const std::optional<int> portNumber = decimal(portText, 65535);
    if (!addressText || !portNumber || *portNumber == 0) {
        // The values themselves stay out of the log: they may hold anything.
        traceError("Ignoring the administrator's preset of the appliance: keep_fixedIP must be an "
                   "IPv4 address and keep_fixedPort a port from 1 to 65535");
        return;
    }
    {
        std::lock_guard lock(stateMutex);
        fixedIP = *addressText;
        fixedPort = *portNumber;
    }
    traceInfo("Using the administrator's preset of the appliance: " + *addressText + " port "
              + std::to_string(*portNumber));
}
