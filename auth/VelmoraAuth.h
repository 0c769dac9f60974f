#pragma once

#include "auth/StaleInputFilter.h"
#include "portal/HttpEngine.h"
#include "portal/SessionWindow.h"
#include "settings/keepAliveData.h"
#include "settings/Keyring.h"
#include "settings/RegistryStore.h"
#include "settings/RememberedLogin.h"
#include "settings/TrustedIdentities.h"
#include "ui_VelmoraAuth.h"

#include <QMainWindow>
#include <QPointer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AutomaticLogin;
class DesktopNotices;
class QAction;
class QCloseEvent;
class QShowEvent;
class QMenu;
class QSystemTrayIcon;
class QThread;
class TimeWorker;

// The client's one window and the owner of all its state: the appliance endpoint, the portal
// session, the login flags and the last message for the user. Every operation of the client is a
// member function; each lives in the folder of the subsystem that owns it.
class VelmoraAuth : public QMainWindow, private velmora::SessionWindow
{
    Q_OBJECT

public:
    // A login's question about a changed appliance identity, handed to each exchange it runs.
    using IdentityQuestion = velmora::IdentityQuestion;

    explicit VelmoraAuth(QWidget* parent = nullptr);
    ~VelmoraAuth() override;

    // Portal exchanges. Each sends one request to the appliance endpoint and blocks the calling
    // thread until the answer (or the client's time-outs); each reports by its result, by trace
    // lines and by errorMessage.
    // `question`: the identity question of the login that runs the exchange; without one, a
    // changed identity is only told.
    bool login(std::string username, std::string password, IdentityQuestion* question = nullptr);
    bool logout();
    bool keepALive();

    // Appliance discovery, on the login thread. The probe makes an accepted address and port the
    // appliance endpoint; the search tries the candidates one after another until one answers.
    bool isVelmora(std::string address, std::int32_t port, IdentityQuestion* question = nullptr);
    std::vector<std::string> traceroute();
    bool findIpAndPort(bool autoDetectIp, bool autoDetectPort, std::string address,
                       std::int32_t port, IdentityQuestion* question = nullptr);

    // The login workflow: startLogin puts the window in its waiting state and starts a login
    // thread; onLoginFinished shows the outcome when that thread is done.
    void startLogin();
    void onLoginFinished();
    bool isValidIpAddress(std::string text);
    bool isValidPort(std::string text);

    // The stored appliance endpoint and session values: written after a successful login, read at
    // start and after every save, blanked after a logout.
    void saveSessionValues();
    void loadSessionValues();
    void clearSessionValues();
    // Without an endpoint of the user's own, the one an administrator preset for the machine.
    void applyAdministratorPreset();

    // Whether the desktop shows tray icons now; without one, a hidden window could not come back.
    bool hasSystemTray() const;

signals:
    void loginFinished();
    void keepAliveFinished();

public slots:
    // Takes each tick of the ticker on the GUI thread and hands its keep-alive to a thread of its
    // own: one at a time, and one more waiting behind it at most.
    void checkALive();

private slots:
    // Runs the widget steps other threads handed over, in the order they came.
    void runGuiSteps();

protected:
    // Closing only hides the window; the program ends through the tray menu's Exit.
    void closeEvent(QCloseEvent* event) override;
    // Tells what happened while the window was hidden (a changed appliance identity).
    void showEvent(QShowEvent* event) override;

private:
    // The form as it was when Login was pressed.
    struct LoginForm
    {
        std::string username;
        std::string password;
        std::string ipText;
        std::string portText;
        bool autoDetectIp = true;
        bool autoDetectPort = true;
        bool rememberMe = false;
    };

    struct Endpoint
    {
        std::string address;
        std::int32_t port = 0;
        bool https = true;
    };

    void createTrayIcon();
    void connectTrayActions();
    // The tray's state image, the notices and the "Start with the desktop" action.
    void setUpDesktopPresence();
    // Shows in the tray what the window believes now; on the GUI thread.
    void showTrayState();
    void connectFormActions();
    void logoutFromButton();
    void logoutFromButtonEnded(bool loggedOut);
    void startKeepAlive();
    void keepAliveEnded(bool alive);
    void runLoginWorker(const LoginForm& form);
    void rememberCredentials(const LoginForm& form);
    void forgetCredentials();
    void logProgramPath();
    void restoreRememberedCredentials();
    // The remembered password, from the settings file or, where it lives there, the desktop's
    // keyring: answered later, on the GUI thread, with nothing when none is remembered or the
    // keyring did not give it (locked and not unlocked, or no item). Only on the GUI thread.
    void rememberedPassword(std::function<void(std::optional<std::string>)> then);
    // The credentials "Remember me" keeps, from any thread: the settings file's, with the password
    // the keyring gave or took this run where the file's is blank. Nothing without a password,
    // so nothing while a locked keyring has not answered yet.
    std::optional<velmora::RememberedLogin> rememberedLogin();
    // What the keyring holds for `user`, as it gave or took it this run; empty texts forget it.
    void keepKeyringPassword(const std::string& user, const std::string& password);
    // Whether the password goes to the keyring; says once why not. From any thread.
    bool keyringTakesPassword();
    // On the GUI thread. The first two leave the settings file's password blank once the
    // keyring holds it.
    void movePasswordToKeyring(const std::string& password);
    void storePasswordInKeyring(const std::string& user, const std::string& password);
    void erasePasswordFromKeyring();
    // Tells the user once that the keyring did not give the remembered password.
    void tellKeyringNotice();
    void startKeepAliveTicker();
    void startSessionCheck();
    void stopBackgroundWork();
    // Around the work of a login or session-check thread: started on the GUI thread before the
    // thread starts, ended on the worker's thread as its last step.
    void workStarts();
    void workEnds();

    Endpoint appliance() const;
    // With the identity check: shownIdentity gets the identity the appliance's handshake showed.
    std::optional<velmora::HttpReply> sendPortalRequest(const Endpoint& endpoint,
                                                        const std::string& path,
                                                        IdentityQuestion* question,
                                                        std::string* shownIdentity = nullptr);

    std::optional<velmora::HttpReply> checkedGet(const Endpoint& endpoint, const std::string& path,
                                                 const std::string& userAgent,
                                                 IdentityQuestion* question,
                                                 std::string* shownIdentity = nullptr);
    // After a mismatch: whether the new identity is trusted now (the user said Yes).
    bool trustChangedIdentity(IdentityQuestion* question, const Endpoint& endpoint,
                              const std::string& remembered, const std::string& shown);
    // Plain HTTP to an address that showed an identity over HTTPS: only with the user's word.
    bool mayUsePlainHttp(IdentityQuestion* question, const std::string& address, std::int32_t port);
    static bool loginStopped(const IdentityQuestion* question);
    // After a login over HTTPS, the identity it went through, unless one is trusted already.
    void rememberIdentity(const Endpoint& endpoint, const std::string& identity);
    void loadTrustedIdentities();
    void storeTrustedIdentities();
    // What the exchanges ask of the window (portal/SessionWindow.h), done in auth/.
    Answer askToTrust(const std::string& endpoint, const std::string& remembered,
                      const std::string& shown) override;
    void noteIdentityChange(const std::string& endpoint, const std::string& shown) override;
    void showConnectedPage(std::uint64_t logins, bool paint) override;
    void showLoginPage(std::uint64_t logins) override;
    void leaveConnectedPage(std::uint64_t logins) override;
    void forgetTypedPassword() override;
    void showLoggedOut() override;
    void applianceAnswered(std::uint64_t logins) override;
    void keepAliveUnanswered(std::uint64_t logins) override;
    void sessionEnded(std::uint64_t logins, const std::string& reason) override;
    void reloginFailed(std::uint64_t logins, const std::string& message) override;
    void applianceEndedSession(const std::string& reason) override;
    void sessionCheckEnded(bool revived) override;
    // Answers the questions still open, and any asked later, with the end of the program.
    void closeQuestions();
    // Shows the notice of a changed identity, now or when the window shows again.
    void tellIdentityChange();
    void setErrorMessage(const std::string& message);

    // The user's own login wins over an exchange begun before it (the start-up session check):
    // each exchange carries the count of logins the user had started when it began, and a result
    // that arrives after a later one changes nothing.
    std::uint64_t loginsStarted() const;
    bool isSuperseded(std::uint64_t logins) const;
    void setErrorMessage(const std::string& message, std::uint64_t logins);
    // A widget step that is skipped when a login started after `logins`.
    void onGuiThreadUnlessSuperseded(std::uint64_t logins, std::function<void()> step);
    bool loginExchange(std::string username, std::string password, std::uint64_t logins,
                       IdentityQuestion* question);
    bool keepAliveExchange(std::uint64_t logins, IdentityQuestion* question);

    // Runs an exchange on a fresh thread of its own, so the window answers however long the
    // appliance takes; `ended` gets its result on the GUI thread. The teardown cancels the
    // exchange and waits for the thread as for a login's.
    void offGuiThread(std::function<bool()> exchange, std::function<void(bool)> ended);

    // Widget steps of operations that may run on another thread: run at once on the GUI thread,
    // queued to it from any other, never waited for.
    void onGuiThread(std::function<void()> step);
    // Runs every pending event, so a page switch is painted before a blocking step; nothing off
    // the GUI thread.
    void runPendingEvents();

    // Any state but unchecked counts as ticked.
    static bool isTicked(const QCheckBox* box);
    // After a logout or a refusal that ends the session; on the GUI thread.
    void clearPasswordUnlessRemembered();

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
    // Logins the user has started (startLogin).
    std::uint64_t userLogins = 0;
    // What traceroute() runs; replaced by the tests, which must never trace the real route.
    std::string gatewayTraceCommand;
    velmora::TrustedIdentities trustedIdentities;
    // The last identity change told to the user, and the notice not yet shown.
    std::string identityChangeTold;
    std::string identityNotice;

    TimeWorker* keepAliveWorker = nullptr;
    QThread* keepAliveThread = nullptr;
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
    // Widget steps handed over by other threads, waiting for the GUI thread.
    std::mutex guiStepsMutex;
    std::deque<std::function<void()>> guiSteps;
    // The page the stacked widget shows, kept for threads that may not touch the widget.
    std::atomic<int> shownPage { 0 };
    velmora::HttpEngine requests;
    // Login, session-check and exchange threads still alive; touched on the GUI thread only.
    std::vector<QPointer<QThread>> workerThreads;
    std::unique_ptr<StaleInputFilter> staleInput;
    // Their work not yet ended. The teardown waits for it under this lock, which
    // ThreadSanitizer sees (it cannot see QThread::wait), before it destroys what they touch.
    std::mutex workMutex;
    std::condition_variable workEnded;
    int workUnderWay = 0;
    // Identity questions waiting for the user; closed at the end, which answers them No.
    std::mutex questionMutex;
    std::condition_variable questionAnswered;
    bool questionsClosed = false;
    // Where the remembered password lives on Linux. Used on the GUI thread only (isOffered
    // aside).
    std::unique_ptr<velmora::Keyring> keyring = std::make_unique<velmora::Keyring>();
    // Serialises the credential writes of the login thread and the keyring's answers.
    std::mutex credentialsMutex;
    // The keyring's password of this run and whose it is, under credentialsMutex: a re-login or
    // an automatic login takes it from here, as the file no longer holds it.
    std::string keyringUser;
    std::string keyringPassword;
    std::atomic<bool> noKeyringTold { false };
    // Set by a login that forgets the credentials; the item is erased when that login has ended.
    std::atomic<bool> keyringErasePending { false };
    // What the user is still to be told about the keyring, once a run; GUI thread only.
    std::string keyringNotice;
    bool keyringNoticeTold = false;
    std::unique_ptr<QSystemTrayIcon> trayIcon;
    QMenu* trayMenu = nullptr;
    QAction* exitAction = nullptr;
    QAction* startWithDesktopAction = nullptr;
    DesktopNotices* notices = nullptr;
    // The start-up session check is running; GUI thread only.
    bool sessionCheckUnderWay = false;
    // A ticker-driven keep-alive is under way, and a tick waits behind it; GUI thread only.
    bool keepAliveUnderWay = false;
    bool tickWaiting = false;
    int shownTrayState = -1;
    // "Log in automatically". Declared last: it goes first, while everything it uses is there.
    std::unique_ptr<AutomaticLogin> automaticLogin;

    friend class AutomaticLogin; // runs the login workflow's steps with remembered credentials
    friend class VelmoraAuthInspector; // the tests' window into the members above
};
