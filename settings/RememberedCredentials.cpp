#include "auth/VelmoraAuth.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "auth/AutomaticLogin.h"
#include "auth/DesktopNotices.h"
#include "auth/InformationBox.h"
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

const std::string keyringRefusedNotice =
    "Your remembered password could not be taken from the desktop's keyring (it stayed locked, "
    "or it no longer holds the password). Type your password to log in; with \"Remember me\" "
    "ticked it is kept again.";

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

        const std::string user = velmora::lowBytes(storedUsername);
        const std::string password = velmora::lowBytes(storedPassword);
        if (!password.empty() && !user.empty()) {
            // An earlier version's clear text: it leaves the file once the keyring holds it.
            if (keyringTakesPassword()) {
                keepKeyringPassword(user, password);
                movePasswordToKeyring(password);
            }
        } else if (storedRememberMe == u"Yes" && !user.empty()) {
            // The form comes up at once; the password joins it when the keyring answers, unless
            // the user has typed one or another name meanwhile.
            const QString shownUser = fieldText(storedUsername);
            rememberedPassword([this, shownUser, user](std::optional<std::string> remembered) {
                if (!remembered) {
                    if (!keyringNoticeTold && keyring->isOffered()) {
                        keyringNotice = keyringRefusedNotice;
                        tellKeyringNotice();
                    }
                    return;
                }
                keepKeyringPassword(user, *remembered);
                if (ui.lineEdit_password->text().isEmpty()
                    && ui.lineEdit_username->text() == shownUser)
                    ui.lineEdit_password->setText(QString::fromStdString(*remembered));
                // A start that found no credentials yet may log in now.
                automaticLogin->rememberedLoginArrived();
            });
        }
    } catch (const std::exception& error) {
        traceError(error.what());
    }
}

void VelmoraAuth::rememberedPassword(std::function<void(std::optional<std::string>)> then)
{
    std::u16string rememberMe;
    std::u16string password;
    {
        std::lock_guard lock(credentialsMutex);
        std::string error;
        if (!registryStore.readString(RegistryRoot::CurrentUser, settingsKeyPath, valueRememberMe,
                                      rememberMe, error)
            || rememberMe != u"Yes") {
            then(std::nullopt);
            return;
        }
        registryStore.readString(RegistryRoot::CurrentUser, settingsKeyPath, valuePassword,
                                 password, error);
    }
    if (!password.empty()) {
        then(velmora::lowBytes(password));
        return;
    }
    if (!keyringTakesPassword()) {
        then(std::nullopt);
        return;
    }
    traceInfo("Asking the desktop's keyring for the remembered password; a locked keyring asks "
              "the user to unlock it first.");
    keyring->read(
        settingsKeyPath,
        [then](velmora::KeyringAnswer answer, const std::string& password, const std::string& why) {
            if (answer == velmora::KeyringAnswer::done && !password.empty()) {
                traceInfo("The desktop's keyring gave the remembered password.");
                then(password);
                return;
            }
            traceError("The desktop's keyring gave no remembered password (still locked, unlock "
                       "refused, or no item): "
                       + velmora::outsideText(why));
            then(std::nullopt);
        });
}

std::optional<velmora::RememberedLogin> VelmoraAuth::rememberedLogin()
{
    std::lock_guard lock(credentialsMutex);
    auto remembered = velmora::readRememberedLogin(registryStore);
    if (remembered && remembered->password.empty() && remembered->username == keyringUser)
        remembered->password = keyringPassword;
    if (!remembered || remembered->password.empty())
        return std::nullopt;
    return remembered;
}

void VelmoraAuth::keepKeyringPassword(const std::string& user, const std::string& password)
{
    std::lock_guard lock(credentialsMutex);
    keyringUser = user;
    keyringPassword = password;
}

bool VelmoraAuth::keyringTakesPassword()
{
    if (keyring->isOffered())
        return true;
    if (!noKeyringTold.exchange(true)) {
        const std::string note = keyring->absenceNote();
        if (!note.empty())
            traceInfo(note);
    }
    return false;
}

void VelmoraAuth::movePasswordToKeyring(const std::string& password)
{
    traceInfo("The remembered password moves from the settings file to the desktop's keyring.");
    keyring->write(
        settingsKeyPath, password,
        [this, password](velmora::KeyringAnswer answer, const std::string& why) {
            if (answer != velmora::KeyringAnswer::done) {
                traceError("The desktop's keyring did not take the remembered password, so it "
                           "stays in the settings file: "
                           + velmora::outsideText(why));
                return;
            }
            // Blanked only while the file still holds what moved: a login meanwhile has written
            // its own.
            std::lock_guard lock(credentialsMutex);
            std::u16string stored;
            std::string error;
            if (registryStore.readString(RegistryRoot::CurrentUser, settingsKeyPath, valuePassword,
                                         stored, error)
                && stored == velmora::widenBytes(password)
                && registryStore.writeString(RegistryRoot::CurrentUser, settingsKeyPath,
                                             valuePassword, u"", error))
                traceInfo("The remembered password is in the desktop's keyring now; the settings "
                          "file no longer holds it.");
            else
                traceInfo("The settings file changed meanwhile; it keeps what it holds.");
        });
}

void VelmoraAuth::storePasswordInKeyring(const std::string& user, const std::string& password)
{
    traceInfo("The password goes to the desktop's keyring.");
    keyring->write(
        settingsKeyPath, password,
        [this, user, password](velmora::KeyringAnswer answer, const std::string& why) {
            if (answer == velmora::KeyringAnswer::done) {
                traceInfo("The desktop's keyring holds the remembered password.");
                keepKeyringPassword(user, password);
                return;
            }
            if (answer != velmora::KeyringAnswer::noService) {
                traceError("The desktop's keyring did not store the password, so it is not "
                           "remembered: "
                           + velmora::outsideText(why));
                return;
            }
            // The keyring went away between the question and the write: the file keeps it, as
            // without a keyring, unless a later login has remembered another user.
            traceInfo("No keyring service took the password: the settings file keeps it.");
            std::lock_guard lock(credentialsMutex);
            std::u16string stored;
            std::string error;
            if (registryStore.readString(RegistryRoot::CurrentUser, settingsKeyPath, valueUsername,
                                         stored, error)
                && stored == velmora::widenBytes(user))
                registryStore.writeString(RegistryRoot::CurrentUser, settingsKeyPath, valuePassword,
                                          velmora::widenBytes(password), error);
        });
}

void VelmoraAuth::erasePasswordFromKeyring()
{
    keyring->erase(settingsKeyPath, [](velmora::KeyringAnswer answer, const std::string& why) {
        if (answer == velmora::KeyringAnswer::done || answer == velmora::KeyringAnswer::notFound)
            traceInfo("The desktop's keyring no longer holds a remembered password.");
        else
            traceError("The desktop's keyring did not delete the remembered password: "
                       + velmora::outsideText(why));
    });
}

void VelmoraAuth::tellKeyringNotice()
{
    if (keyringNotice.empty())
        return;
    // Like an identity change: a hidden window tells through the desktop's notice, or when it
    // shows again.
    const bool hidden = !isVisible() || isMinimized();
    if (hidden
        && !notices->notify(QStringLiteral("Remembered password"),
                            QString::fromStdString(keyringNotice)))
        return;
    const std::string notice = keyringNotice;
    keyringNotice.clear();
    keyringNoticeTold = true;
    if (!hidden)
        velmora::showInformation(nullptr, notice);
}
