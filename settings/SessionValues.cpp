#include "auth/VelmoraAuth.h"

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

} // namespace

void VelmoraAuth::saveSessionValues()
{
    try {
        std::string savedUserid, savedUsername, savedK1, savedFixedIP;
        std::int32_t savedFixedPort = 0;
        bool savedIsHttps = true;
        {
            std::lock_guard lock(stateMutex);
            savedUserid = userid;
            savedUsername = username;
            savedK1 = k1;
            savedFixedIP = fixedIP;
            savedFixedPort = fixedPort;
            savedIsHttps = isHttps;
        }
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepUserid, savedUserid);
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepUsername, savedUsername);
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepK1, savedK1);
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepFixedIP, savedFixedIP);
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepFixedPort,
                                    std::to_string(savedFixedPort));
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepAliveIsHttps,
                                    savedIsHttps ? "1" : "0");
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
        loadInto(keepAliveStore, stateMutex, valueKeepFixedIP, fixedIP);

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
        std::cout << "++++++++++++++++++++++++++++++++++++++++++" << httpsText << std::endl;
        const bool https = std::stoi(httpsText) == 1;

        std::lock_guard lock(stateMutex);
        isHttps = https;
        std::cout << "---------------------------" << '\n'
                  << userid << '\n'
                  << username << '\n'
                  << k1 << '\n'
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
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepUserid, "");
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepUsername, "");
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepK1, "");
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepFixedIP, "");
        // The logged-out endpoint: port 1 and HTTPS, which no start-up check will try.
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepFixedPort, "1");
        keepAliveStore.setKeepAlive(settingsKeyPath, valueKeepAliveIsHttps, "1");
    } catch (const std::exception& error) {
        std::cout << "Error: " << error.what() << std::endl;
    }
}
