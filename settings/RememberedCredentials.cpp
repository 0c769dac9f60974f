#include "auth/VelmoraAuth.h"

#include "app/Trace.h"
#include "settings/ByteText.h"
#include "settings/SettingsKey.h"

#include <exception>
#include <iostream>

namespace {

// Stored text is the widened UTF-8 of what was typed; narrowing gives the UTF-8 back.
QString fieldText(const std::u16string& stored)
{
    return QString::fromStdString(velmora::lowBytes(stored));
}

} // namespace

void VelmoraAuth::restoreRememberedCredentials()
{
    traceInfo("Set the registry path for saving username and password");
    try {
        traceInfo("Try to get the username and password from registry");
        // A value that cannot be read leaves its field as it is.
        const auto read = [this](const char16_t* name, std::u16string& stored) {
            if (registryStore.readString(RegistryRoot::CurrentUser, settingsKeyPath, name, stored,
                                         registryError))
                return true;
            std::cout << "Error:" << registryError << std::endl;
            traceError("Error:" + registryError);
            return false;
        };

        std::u16string storedUsername;
        if (read(valueUsername, storedUsername)) {
            traceInfo("Successfully get the username from registry");
            std::cout << "username:" << velmora::lowBytes(storedUsername) << std::endl;
            ui.lineEdit_username->setText(fieldText(storedUsername));
        }

        std::u16string storedPassword;
        if (read(valuePassword, storedPassword)) {
            traceInfo("Successfully get the password from registry");
            ui.lineEdit_password->setText(fieldText(storedPassword));
        }

        std::u16string storedRememberMe;
        if (read(valueRememberMe, storedRememberMe)) {
            traceInfo("Successfully get the GetIsRemberMe from registry");
            std::cout << "statusGetIsRemberMe:" << velmora::lowBytes(storedRememberMe) << std::endl;
            ui.remberMe->setCheckState(storedRememberMe == u"Yes" ? Qt::Checked : Qt::Unchecked);
        }
    } catch (const std::exception& error) {
        traceError(error.what());
    }
}
