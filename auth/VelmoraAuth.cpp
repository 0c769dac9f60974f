#include "auth/VelmoraAuth.h"

#include "app/ProgramPath.h"
#include "app/Trace.h"
#include "auth/AutomaticLogin.h"
#include "auth/ScreenReaderNotices.h"
#include "auth/TrayState.h"
#include "discovery/RouteTracer.h"
#include "portal/TimeWorker.h"
#include "settings/ByteText.h"

#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>

// Resources compiled into the core library must be registered by hand: the linker drops an
// unreferenced initialiser from a static library. Qt wants this outside any namespace.
static void initialiseResources()
{
    Q_INIT_RESOURCE(resources);
}

VelmoraAuth::VelmoraAuth(QWidget* parent)
    : QMainWindow(parent)
    , gatewayTraceCommand(velmora::gatewayTraceCommand)
{
    traceInfo("start velmora authentication app");

    initialiseResources();
    velmora::announceNoticesToScreenReaders();
    ui.setupUi(this);
    ui.lineEdit_ipAdress->hide();
    ui.lineEdit_portadress->hide();
    ui.lineEdit_password->setEchoMode(QLineEdit::Password);
    ui.remberMe->setCheckState(Qt::Unchecked);
    staleInput = std::make_unique<StaleInputFilter>(this, ui.stackedWidget);
    connect(ui.stackedWidget, &QStackedWidget::currentChanged, this,
            [this](int page) { shownPage = page; });

    createTrayIcon();
    connectTrayActions();
    setUpDesktopPresence();
    startKeepAliveTicker();
    loadSessionValues();
    loadTrustedIdentities();
    startSessionCheck();
    applyAdministratorPreset();
    restoreRememberedCredentials();
    logProgramPath();
    connectFormActions();
    automaticLogin->windowReady(sessionCheckUnderWay);
}

VelmoraAuth::~VelmoraAuth()
{
    stopBackgroundWork();
}

void VelmoraAuth::stopBackgroundWork()
{
    // Requests under way end at once and no new one starts, and a question about an appliance's
    // identity is answered No, so the login and check threads are left with nothing to wait for.
    closeQuestions();
    requests.cancelAll();

    // On their way out they still write the members and the ticker's flag (a login that got its
    // answer saves it first): nothing they touch may go before they have ended. What cannot be
    // cut (a route trace that hangs) is not waited out: the user asked the program to end, and
    // the settings store and the log are on disk, so the system ends it within the time a
    // session's end allows.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    bool ended = false;
    {
        std::unique_lock lock(workMutex);
        ended = workEnded.wait_until(lock, deadline, [this] { return workUnderWay == 0; });
    }
    for (const QPointer<QThread>& worker : workerThreads) {
        if (!ended)
            break;
        // Past its work only Qt's own end of the thread is left.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (worker && !worker->wait(QDeadlineTimer(std::max<qint64>(left.count(), 0))))
            ended = false;
    }
    if (!ended) {
        // Not an orderly end: whoever waits for the program (a session manager, a test) learns
        // that work was abandoned.
        traceError("A login or session check is still under way; ending without it.");
        std::_Exit(EXIT_FAILURE);
    }

    keepAliveWorker->stop();
    keepAliveThread->quit();
    keepAliveThread->wait();
    delete keepAliveThread; // its worker goes with it, through deleteLater at the thread's end
    traceInfo("All background work has ended.");
}

void VelmoraAuth::workStarts()
{
    std::lock_guard lock(workMutex);
    ++workUnderWay;
}

void VelmoraAuth::workEnds()
{
    {
        std::lock_guard lock(workMutex);
        --workUnderWay;
    }
    workEnded.notify_all();
}

void VelmoraAuth::createTrayIcon()
{
    trayIcon = std::make_unique<QSystemTrayIcon>();
    trayMenu = new QMenu(this);
    exitAction = new QAction(QStringLiteral("Exit"), this);
    try {
        traceInfo("Initailize system tray icon");
        traceInfo("Set the icon in system tray");
        trayIcon->setIcon(velmora::trayImage(velmora::TrayState::NotConnected));
        traceInfo("Set tootip in system tray");
        trayIcon->setToolTip(QStringLiteral("Velmora Auth"));
        traceInfo("initailize menu in system tray");
        exitAction->setToolTip(QStringLiteral("Exit"));
        traceInfo("Add exit button in menu");
        trayMenu->addAction(exitAction);
        trayIcon->setContextMenu(trayMenu);
        trayIcon->setVisible(true);
        traceInfo("Initialize tray system successfully.");
    } catch (const std::exception& error) {
        std::cout << "Error in system tray : " << error.what() << std::endl;
        traceError(std::string("Error in system tray: ") + error.what());
    }
}

void VelmoraAuth::logProgramPath()
{
    traceInfo("Get current absolute path of application");
    try {
        if (const auto path = velmora::executablePath()) {
            const std::string narrowPath = velmora::lowBytes(*path);
            std::cout << "Application path: " << narrowPath << std::endl;
            traceInfo("Application path: " + narrowPath);
        }
    } catch (const std::exception& error) {
        std::cerr << "Exception: " << error.what() << std::endl;
        traceError(error.what());
    }
}

bool VelmoraAuth::hasSystemTray() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void VelmoraAuth::closeEvent(QCloseEvent* event)
{
    event->ignore();
    // Without a tray, nothing could bring a hidden window back; the window manager keeps a
    // minimised one.
    if (hasSystemTray())
        hide();
    else
        showMinimized();
}
