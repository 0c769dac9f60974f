#pragma once

#include "support/IsolatedHome.h"
#include "support/PortalTestSupport.h"
#include "support/VelmoraAuthInspector.h"

#include <memory>
#include <vector>

class QAbstractButton;
class QCheckBox;
class QLineEdit;

// Input as a person gives it: key by key (letters beyond ASCII as a keyboard layout gives them),
// and clicks on a button, or on a check box's box and label, where it takes them.
void typeInto(QLineEdit* field, const QString& text);
void click(QAbstractButton* button);
void click(QCheckBox* box);

// What most suites set up for each case: a clean settings folder, the stand-in appliance, and the
// real window shown. A suite derives from it beside QObject and calls start() in init() and
// stop() in cleanup().
class WindowFixture
{
protected:
    explicit WindowFixture(IsolatedHome& home)
        : m_home(home)
    {
    }

    enum class Show { hidden, shown, exposed };
    // A fresh settings folder, the stand-in on the listeners (HTTPS on 127.0.0.1 by default),
    // and a window.
    void start(std::vector<standin::ListenAddress> listeners,
               std::vector<standin::Account> accounts = { { "ann", "secret", false } },
               Show show = Show::shown);
    void start(Show show = Show::shown);
    // The window, then the stand-in.
    void stop();
    // The window closed, as at the program's end; how long that took, in milliseconds.
    qint64 closeWindow();
    // A new window on the settings as they are: the program started again. Exposed waits until
    // it is on screen, for suites that click in it; hidden leaves it as in the tray.
    void startWindow(Show show = Show::shown);
    // The window pointed at the listener, as a login worker leaves it before the exchange.
    void pointAt(std::size_t listener = 0);
    // Logged in as ann through the login exchange, on the connected page, with the stand-in's
    // request log emptied and the session's userid in m_userid.
    void logIn(std::size_t listener = 0);
    // Logged in, the ticker on, the connected page shown.
    void expectConnected();
    // What an earlier run's login left in the store: ann logged in through the exchange by a
    // window closed since, with rememberedUser and rememberedPassword remembered unless the user
    // is empty; the stand-in's request log emptied.
    void earlierRun(const std::string& rememberedUser = {},
                    const std::string& rememberedPassword = "secret");
    // "Remember me" as an earlier version left it: ann and the password in the settings file.
    void storeRemembered(const std::string& password = "secret");
    // Connected still with the session logIn() opened.
    void expectSessionIntact();
    // Types ann and the password, the address unless it is empty and the port unless it is 0,
    // with the auto-detect boxes ticked for what is not typed, and presses Login.
    void submitLogin(const QString& password, const QString& address, int port);
    // Logged in as ann from the form (port -1: the first listener's), back on an enabled
    // connected page.
    void logInFromForm(const QString& address = QStringLiteral("127.0.0.1"), int port = -1);
    // Logout pressed, back on the login page.
    void logOutFromButton();
    Ui::VelmoraAuthClass& ui() { return m_inspect->ui(); }
    // The same address and port served with a fresh key: a replaced appliance, or an impostor.
    void swapKey();
    // Requests of one kind the stand-in has seen ("probe", or the portal's pageto: "c", "ka",
    // "fbo"), or those of them it treated as `treatment`.
    int requests(const std::string& kind, const std::string& treatment = {}) const;
    int logins() const { return requests("c"); }
    int keepAlives(const std::string& treatment = {}) const { return requests("ka", treatment); }
    // The passwords of the login requests the stand-in has seen, in order; "(none)" for none.
    std::vector<std::string> loginPasswords() const;
    // The page shown: 0 login, 1 loading, 2 connected.
    int page() { return ui().stackedWidget->currentIndex(); }

    IsolatedHome& m_home;
    std::unique_ptr<standin::StandInAppliance> m_appliance;
    std::unique_ptr<VelmoraAuth> m_window;
    std::unique_ptr<VelmoraAuthInspector> m_inspect;
    std::string m_userid;
};
