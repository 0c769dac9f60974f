#pragma once

#include "auth/AutomaticLogin.h"
#include "auth/VelmoraAuth.h"
#include "portal/TimeWorker.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <memory>
#include <mutex>

// The tests' view into the window's members, taken under the window's own lock as every other
// thread does.
class VelmoraAuthInspector
{
public:
    explicit VelmoraAuthInspector(VelmoraAuth& window)
        : m_window(window)
    {
    }

    Ui::VelmoraAuthClass& ui() { return m_window.ui; }
    QSystemTrayIcon* trayIcon() { return m_window.trayIcon.get(); }
    QAction* exitAction() { return m_window.exitAction; }
    QAction* startWithDesktopAction() { return m_window.startWithDesktopAction; }
    AutomaticLogin& automaticLogin() { return *m_window.automaticLogin; }
    QMenu* trayMenu() { return m_window.trayMenu; }
    DesktopNotices* notices() { return m_window.notices; }

    // The state image the tray icon shows at 22 pixels: "connected", "busy" or "not-connected",
    // compared pixel by pixel with the image files; "other" for anything else. Compared
    // premultiplied, as a pixmap on X holds its pixels.
    QString trayImage()
    {
        const QImage shown = m_window.trayIcon->icon().pixmap(22, 22).toImage().convertToFormat(
            QImage::Format_ARGB32_Premultiplied);
        for (const char* name : { "connected", "busy", "not-connected" }) {
            const QImage image(QStringLiteral(":/VelmoraAuth/assets/tray/%1-22.png").arg(name));
            if (!image.isNull()
                && image.convertToFormat(QImage::Format_ARGB32_Premultiplied) == shown)
                return QLatin1String(name);
        }
        return QStringLiteral("other");
    }

    template<typename Function> auto withState(Function&& function)
    {
        std::lock_guard lock(m_window.stateMutex);
        return function(m_window);
    }

    std::string fixedIP() { return read(&VelmoraAuth::fixedIP); }
    int fixedPort() { return read(&VelmoraAuth::fixedPort); }
    bool isHttps() { return read(&VelmoraAuth::isHttps); }
    bool isLoggedIn() { return read(&VelmoraAuth::isLoggedIn); }
    bool isLoggedOut() { return read(&VelmoraAuth::isLoggedOut); }
    bool isConnectedVelmora() { return read(&VelmoraAuth::isConnectedVelmora); }
    std::string errorMessage() { return read(&VelmoraAuth::errorMessage); }
    std::string userid() { return read(&VelmoraAuth::userid); }
    std::string username() { return read(&VelmoraAuth::username); }
    std::string k1() { return read(&VelmoraAuth::k1); }
    std::string loginPassword() { return read(&VelmoraAuth::loginPassword); }

    void setEndpoint(const std::string& ip, int port, bool https)
    {
        write(&VelmoraAuth::fixedIP, ip, &VelmoraAuth::fixedPort, port, &VelmoraAuth::isHttps,
              https);
    }
    void setSession(const std::string& id, const std::string& name, const std::string& key)
    {
        write(&VelmoraAuth::userid, id, &VelmoraAuth::username, name, &VelmoraAuth::k1, key);
    }
    void setFlags(bool loggedIn, bool loggedOut)
    {
        write(&VelmoraAuth::isLoggedIn, loggedIn, &VelmoraAuth::isLoggedOut, loggedOut);
    }
    void setErrorMessage(const std::string& message) { write(&VelmoraAuth::errorMessage, message); }
    void setLoginPassword(const std::string& password)
    {
        write(&VelmoraAuth::loginPassword, password);
    }
    void setGatewayTraceCommand(const std::string& command)
    {
        write(&VelmoraAuth::gatewayTraceCommand, command);
    }
    void setConnectedVelmora(bool connected) { write(&VelmoraAuth::isConnectedVelmora, connected); }

    // The login worker's writes of the remembered credentials, as with "Remember me" ticked or
    // not.
    void rememberCredentials(const std::string& user, const std::string& password)
    {
        VelmoraAuth::LoginForm form;
        form.username = user;
        form.password = password;
        form.rememberMe = true;
        m_window.rememberCredentials(form);
    }
    void forgetCredentials() { m_window.forgetCredentials(); }

    // A deadline of seconds lets a test see a dripping answer cut off.
    void setRequestDeadline(std::chrono::milliseconds deadline)
    {
        m_window.requests.setDeadline(deadline);
    }
    void cancelRequests() { m_window.requests.cancelAll(); }

    // A tick of the ticker, and the wait for its keep-alive to end on its own thread.
    bool tick(int milliseconds = 20000)
    {
        m_window.checkALive();
        return runEventsUntil([this] { return !m_window.keepAliveUnderWay; }, milliseconds, 50);
    }
    bool keepAliveUnderWay() { return m_window.keepAliveUnderWay; }

    // Waits until the steps handed to the GUI thread so far, and the steps they posted in turn,
    // have run and no box is open: a box they were to show has been shown and answered by then.
    bool guiStepsDone(int milliseconds = 10000)
    {
        auto done = std::make_shared<bool>(false);
        m_window.onGuiThread(
            [this, done] { QTimer::singleShot(0, &m_window, [done] { *done = true; }); });
        return runEventsUntil([done] { return *done && !QApplication::activeModalWidget(); },
                              milliseconds, 10);
    }

    TimeWorker* ticker() { return m_window.keepAliveWorker; }
    QThread* tickerThread() { return m_window.keepAliveThread; }
    bool tickerEnabled() { return m_window.keepAliveWorker->enabled.load(); }
    void setTickerEnabled(bool on) { m_window.keepAliveWorker->enabled = on; }

    // Login, session-check and exchange threads started (and not yet deleted).
    int startedWorkerThreads()
    {
        int started = 0;
        for (const auto& thread : m_window.workerThreads)
            started += !thread.isNull();
        return started;
    }

    // Login, session-check and exchange threads that are still running.
    int runningWorkerThreads()
    {
        int running = 0;
        for (const auto& thread : m_window.workerThreads)
            running += thread && thread->isRunning();
        return running;
    }

private:
    template<typename Done> static bool runEventsUntil(Done done, int milliseconds, int wakeEvery)
    {
        const QDeadlineTimer deadline(milliseconds);
        QTimer wake; // so the wait sees the deadline when nothing else comes
        wake.start(wakeEvery);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return done();
    }
    template<typename Value> Value read(Value VelmoraAuth::*member)
    {
        std::lock_guard lock(m_window.stateMutex);
        return m_window.*member;
    }
    // Members and their values in pairs, written under one hold of the lock.
    template<typename... MembersAndValues> void write(MembersAndValues&&... pairs)
    {
        std::lock_guard lock(m_window.stateMutex);
        assign(pairs...);
    }
    static void assign() { }
    template<typename Value, typename Given, typename... Rest>
    void assign(Value VelmoraAuth::*member, const Given& value, Rest&... rest)
    {
        m_window.*member = value;
        assign(rest...);
    }

    VelmoraAuth& m_window;
};
