#pragma once

#include "settings/keepAliveData.h"
#include "settings/RegistryStore.h"
#include "ui_VelmoraAuth.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class QAction;
class QCloseEvent;
class QMenu;
class QSystemTrayIcon;

// The client's one window and the owner of all its state: the appliance endpoint, the portal
// session, the login flags and the last message for the user. Every operation of the client is a
// member function; each lives in the folder of the subsystem that owns it.
class VelmoraAuth : public QMainWindow
{
    Q_OBJECT

public:
    explicit VelmoraAuth(QWidget* parent = nullptr);
    ~VelmoraAuth() override;

    // The stored appliance endpoint and session values: written after a successful login, read at
    // start and after every save, blanked after a logout.
    void saveSessionValues();
    void loadSessionValues();
    void clearSessionValues();

signals:
    void loginFinished();
    void keepAliveFinished();

protected:
    // Closing only hides the window; the program ends through the tray menu's Exit.
    void closeEvent(QCloseEvent* event) override;

private:
    void createTrayIcon();
    void connectTrayActions();
    void logProgramPath();
    void restoreRememberedCredentials();

    // The members below, up to loginPassword, are shared by the GUI thread, the login thread and
    // the start-up session check: read and write them under stateMutex only.
    std::string fixedIP;
    std::int32_t fixedPort = 0;
    bool isLoggedIn = false;
    bool isLoggedOut = false;
    bool isHttps = true;
    bool isConnectedVelmora = false;
    std::string errorMessage;
    std::string userid;
    std::string username;
    std::string k1;
    std::string loginPassword;

    RegistryStore registryStore;
    keepAliveData keepAliveStore;
    // Handed to every registry call; nothing fills it, so failure lines carry no detail.
    std::string registryError;
    const char16_t* const valueUsername = u"username";
    const char16_t* const valuePassword = u"password";
    const char16_t* const valueRememberMe = u"rememberme";
    const char16_t* const valueKeepUserid = u"keep_userid";
    const char16_t* const valueKeepUsername = u"keep_username";
    const char16_t* const valueKeepK1 = u"keep_k1";
    const char16_t* const valueKeepFixedIP = u"keep_fixedIP";
    const char16_t* const valueKeepFixedPort = u"keep_fixedPort";
    const char16_t* const valueKeepAliveIsHttps = u"keepAlive_isHttps";

    Ui::VelmoraAuthClass ui;

    mutable std::mutex stateMutex;
    std::unique_ptr<QSystemTrayIcon> trayIcon;
    QMenu* trayMenu = nullptr;
    QAction* exitAction = nullptr;

    friend class VelmoraAuthInspector; // the tests' window into the members above
};
