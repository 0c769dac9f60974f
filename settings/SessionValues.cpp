#include "auth/VelmoraAuth.h"

#include "app/Ipv4Address.h"
#include "app/OutsideText.h"
#include "app/Trace.h"
#include "settings/ByteText.h"
#include "settings/SettingsKey.h"

#include <exception>
#include <iostream>
#include <mutex>

namespace {

// Reads a stored value into a member only when the read succeeds.
void loadInto(const keepAliveData& store, std::mutex& lock, const char16_t* valueName,
              std::string& member)
{
    std::string value;
    {
        std::lock_guard guard(lock);
        value = member;
    }
    store.getKeepAlive(settingsKeyPath, valueName, value);
    std::lock_guard guard(lock);
    member = value;
}

// The stored address, kept in its canonical form. Any other spelling ("0x4d", a single 32-bit
// number, a part above 255) is refused as an unreadable value is: the member keeps what it held,
// so such a value revives no session and is never contacted.
void loadAddressInto(const keepAliveData& store, std::mutex& lock, const char16_t* valueName,
                     std::string& member)
{
    std::string address;
    {
        std::lock_guard guard(lock);
        address = member;
    }
    store.getKeepAlive(settingsKeyPath, valueName, address);
    if (!address.empty()) {
        const std::optional<std::string> canonical = velmora::canonicalIpv4(address);
        if (!canonical) {
            traceError("The stored appliance address is not an IPv4 address of four decimal "
                       "numbers from 0 to 255: it is left out");
            return;
        }
        address = *canonical;
    }
    std::lock_guard guard(lock);
    member = address;
}

} // namespace

void VelmoraAuth::saveSessionValues()
{
    try {
        std::string savedUserid, savedUsername, savedK1, savedFixedIP;
        std::int32_t savedFixedPort = 0;
        bool savedIsHttps = true;
        std::vector<RegistryValue> identities;
        {
            std::lock_guard lock(stateMutex);
            savedUserid = userid;
            savedUsername = username;
            savedK1 = k1;
            savedFixedIP = fixedIP;
            savedFixedPort = fixedPort;
            savedIsHttps = isHttps;
            // The appliances' identities go with the session that trusted the latest of them.
            if (!trustedIdentities.empty())
                identities.push_back({ velmora::trustedIdentitiesValueName,
                                       velmora::widenBytes(trustedIdentities.text()) });
        }
        // One group: a crash in the middle of the save leaves the old session or the new one,
        // never the new address with the old port.
        const bool identitiesStored =
            keepAliveStore.setKeepAlive(settingsKeyPath,
                                        { { valueKeepUserid, savedUserid },
                                          { valueKeepUsername, savedUsername },
                                          { valueKeepK1, savedK1 },
                                          { valueKeepFixedIP, savedFixedIP },
                                          { valueKeepFixedPort, std::to_string(savedFixedPort) },
                                          { valueKeepAliveIsHttps, savedIsHttps ? "1" : "0" } },
                                        identities);
        if (!identitiesStored)
            traceError("Cannot store the identities of the appliances");
    } catch (const std::exception& error) {
        std::cout << "Error: " << error.what() << std::endl;
    }
}

void VelmoraAuth::loadSessionValues()
{
    try {
        loadInto(keepAliveStore, stateMutex, valueKeepUserid, userid);
        loadInto(keepAliveStore, stateMutex, valueKeepUsername, username);
        loadInto(keepAliveStore, stateMutex, valueKeepK1, k1);
        loadAddressInto(keepAliveStore, stateMutex, valueKeepFixedIP, fixedIP);

        // Decimal, leading blanks and a sign allowed, up to the first non-digit. No leading digit
        // (a missing value reads as empty) or a number beyond 32 bits throws and ends the load.
        std::string portText;
        keepAliveStore.getKeepAlive(settingsKeyPath, valueKeepFixedPort, portText);
        const int port = std::stoi(portText);
        {
            std::lock_guard lock(stateMutex);
            fixedPort = port;
        }

        std::string httpsText;
        keepAliveStore.getKeepAlive(settingsKeyPath, valueKeepAliveIsHttps, httpsText);
        std::cout << "++++++++++++++++++++++++++++++++++++++++++" << velmora::outsideText(httpsText)
                  << std::endl;
        const bool https = std::stoi(httpsText) == 1;

        std::lock_guard lock(stateMutex);
        isHttps = https;
        // The session values are the appliance's text, and the store may hold anything.
        std::cout << "---------------------------" << '\n'
                  << velmora::outsideText(userid) << '\n'
                  << velmora::outsideText(username) << '\n'
                  << velmora::outsideText(k1) << '\n'
                  << fixedIP << '\n'
                  << fixedPort << '\n'
                  << isHttps << std::endl;
    } catch (const std::exception& error) {
        std::cout << "Error: " << error.what() << std::endl;
    }
}

void VelmoraAuth::clearSessionValues()
{
    try {
        // The logged-out endpoint: port 1 and HTTPS, which no start-up check will try. One group,
        // as the save is.
        keepAliveStore.setKeepAlive(settingsKeyPath,
                                    { { valueKeepUserid, "" },
                                      { valueKeepUsername, "" },
                                      { valueKeepK1, "" },
                                      { valueKeepFixedIP, "" },
                                      { valueKeepFixedPort, "1" },
                                      { valueKeepAliveIsHttps, "1" } });
    } catch (const std::exception& error) {
        std::cout << "Error: " << error.what() << std::endl;
    }
}
