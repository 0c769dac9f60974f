#include "settings/keepAliveData.h"

#include "app/Trace.h"
#include "settings/ByteText.h"

#include <iostream>

void keepAliveData::getKeepAlive(const std::u16string& keyPath, const std::u16string& valueName,
                                 std::string& value) const
{
    traceInfo("Try to get the keep alive from registry");
    std::u16string stored;
    std::string error;
    if (m_store.readString(RegistryRoot::CurrentUser, keyPath, valueName, stored, error)) {
        value = velmora::lowBytes(stored);
        std::cout << "Value:" << value << std::endl;
    } else {
        std::cout << "Error:" << std::endl;
        traceError("Error:");
    }
}

void keepAliveData::setKeepAlive(const std::u16string& keyPath, const std::u16string& valueName,
                                 const std::string& value) const
{
    traceInfo("Set the userid into registry......");
    std::cout << "set value registry:" << velmora::lowBytes(valueName) << ":" << value << std::endl;
    std::string error;
    if (m_store.writeString(RegistryRoot::CurrentUser, keyPath, valueName,
                            velmora::widenBytes(value), error)) {
        traceInfo("Successfully add keep alive into registry");
        std::cout << "successfully add into registry" << std::endl;
    } else {
        std::cout << "Error:" << std::endl;
        traceError("");
    }
}
