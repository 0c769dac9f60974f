#include "settings/RegistryStore.h"

#include <algorithm>
#include <limits>
#include <vector>
#include <windows.h>

namespace {

HKEY rootKey(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::CurrentUser:
        return HKEY_CURRENT_USER;
    case RegistryRoot::LocalMachine:
        return HKEY_LOCAL_MACHINE;
    }
    return HKEY_CURRENT_USER;
}

// char16_t and wchar_t are both UTF-16 units on Windows.
const wchar_t* wide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Closes the key on every way out.
class OpenKey
{
public:
    OpenKey() = default;
    ~OpenKey()
    {
        if (m_key)
            RegCloseKey(m_key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    HKEY* receive() { return &m_key; }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

} // namespace

bool RegistryStore::readString(RegistryRoot root, const std::u16string& keyPath,
                               const std::u16string& valueName, std::u16string& value,
                               std::string& /*error*/) const
{
    OpenKey key;
    if (RegOpenKeyExW(rootKey(root), wide(keyPath), 0, KEY_QUERY_VALUE, key.receive())
        != ERROR_SUCCESS)
        return false;

    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), wide(valueName), nullptr, &type, nullptr, &size)
            != ERROR_SUCCESS
        || type != REG_SZ)
        return false;

    // Whole units only, so an odd last byte is dropped; but the buffer holds every byte (and never
    // is empty), as the query refuses a buffer one byte short with ERROR_MORE_DATA.
    std::vector<char16_t> units(size / 2 + 1, u'\0');
    const DWORD capacity = static_cast<DWORD>(units.size() * sizeof(char16_t));
    DWORD received = capacity;
    // Type asked again: another writer may have replaced the value since the first query.
    if (RegQueryValueExW(key.get(), wide(valueName), nullptr, &type,
                         reinterpret_cast<BYTE*>(units.data()), &received)
            != ERROR_SUCCESS
        || type != REG_SZ)
        return false;

    const std::u16string_view data(units.data(), std::min(received, capacity) / 2);
    value.assign(data.substr(0, data.find(u'\0')));
    return true;
}

bool RegistryStore::writeString(RegistryRoot root, const std::u16string& keyPath,
                                const std::u16string& valueName, const std::u16string& value,
                                std::string& /*error*/) const
{
    // The machine's key is the administrator's: the program never writes there, even when it
    // runs with the rights to.
    if (root != RegistryRoot::CurrentUser)
        return false;
    // The data size is a DWORD and counts the closing NUL; on a 32-bit build the product could
    // also wrap size_t.
    if (value.size() >= std::numeric_limits<DWORD>::max() / 2)
        return false;

    OpenKey key;
    LSTATUS status = RegOpenKeyExW(rootKey(root), wide(keyPath), 0, KEY_WRITE, key.receive());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_NO_MATCH) {
        status = RegCreateKeyExW(rootKey(root), wide(keyPath), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_SET_VALUE, nullptr, key.receive(), nullptr);
    }
    if (status != ERROR_SUCCESS)
        return false;

    // c_str() ends in the NUL that the stored string carries.
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));
    return RegSetValueExW(key.get(), wide(valueName), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()), bytes)
        == ERROR_SUCCESS;
}

std::vector<bool> RegistryStore::writeStrings(RegistryRoot root, const std::u16string& keyPath,
                                              const std::vector<RegistryValue>& values,
                                              std::string& error) const
{
    // The registry has no call that sets several values at once: one set per value, in order.
    std::vector<bool> stored;
    stored.reserve(values.size());
    for (const RegistryValue& value : values)
        stored.push_back(writeString(root, keyPath, value.name, value.value, error));
    return stored;
}
