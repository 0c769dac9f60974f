#include "settings/keepAliveData.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "settings/ByteText.h"

#include <algorithm>
#include <iostream>

void keepAliveData::getKeepAlive(const std::u16string& keyPath, const std::u16string& valueName,
                                 std::string& value) const
{
    traceInfo("Try to get the keep alive from registry");
    std::u16string stored;
    std::string error;
    if (m_store.readString(RegistryRoot::CurrentUser, keyPath, valueName, stored, error)) {
        value = velmora::lowBytes(stored);
        // The session values are the appliance's text, and the store may hold anything.
        std::cout << "Value:" << velmora::outsideText(value) << std::endl;
    } else {
        std::cout << "Error:" << std::endl;
        traceError("Error:");
    }
}

void keepAliveData::setKeepAlive(const std::u16string& keyPath, const std::u16string& valueName,
                                 const std::string& value) const
{
    setKeepAlive(keyPath, { { valueName, value } });
}

bool keepAliveData::setKeepAlive(const std::u16string& keyPath,
                                 const std::vector<std::pair<std::u16string, std::string>>& values,
                                 const std::vector<RegistryValue>& alongside) const
{
    std::vector<RegistryValue> wide;
    wide.reserve(values.size() + alongside.size());
    for (const auto& [name, value] : values)
        wide.push_back({ name, velmora::widenBytes(value) });
    wide.insert(wide.end(), alongside.begin(), alongside.end());
    std::string error;
    const std::vector<bool> stored =
        m_store.writeStrings(RegistryRoot::CurrentUser, keyPath, wide, error);
    for (size_t i = 0; i < values.size(); ++i) {
        traceInfo("Set the userid into registry......");
        std::cout << "set value registry:" << velmora::lowBytes(values[i].first) << ":"
                  << velmora::outsideText(values[i].second) << std::endl;
        if (stored[i]) {
            traceInfo("Successfully add keep alive into registry");
            std::cout << "successfully add into registry" << std::endl;
        } else {
            std::cout << "Error:" << std::endl;
            traceError("");
        }
    }
    return std::all_of(stored.begin() + values.size(), stored.end(),
                       [](bool done) { return done; });
}
