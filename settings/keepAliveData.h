#pragma once

#include "settings/RegistryStore.h"

#include <string>
#include <utility>
#include <vector>

// Reads and writes one session value under the current user's settings key, converting between
// the program's 8-bit text and the store's UTF-16 byte by byte, with its own trace lines.
// Stateless.
class keepAliveData
{
public:
    // Sets value on success; on failure leaves it unchanged.
    void getKeepAlive(const std::u16string& keyPath, const std::u16string& valueName,
                      std::string& value) const;
    void setKeepAlive(const std::u16string& keyPath, const std::u16string& valueName,
                      const std::string& value) const;
    // Writes the values as one group (RegistryStore::writeStrings), then gives each value, in
    // order, the lines that a write of it alone gives, with the outcome of its part of the group.
    // The values `alongside` join the group without lines of their own; the result says whether
    // all of them were stored.
    bool setKeepAlive(const std::u16string& keyPath,
                      const std::vector<std::pair<std::u16string, std::string>>& values,
                      const std::vector<RegistryValue>& alongside = {}) const;

private:
    RegistryStore m_store;
};
