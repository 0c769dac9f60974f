#include "auth/VelmoraAuth.h"

#include "app/ProgramPath.h"
#include "app/Trace.h"
#include "auth/ScreenReaderNotices.h"
#include "discovery/RouteTracer.h"
#include "portal/TimeWorker.h"
#include "settings/ByteText.h"

#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QImageReader>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QThread>

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
    startKeepAliveTicker();
    loadSessionValues();
    startSessionCheck();
    applyAdministratorPreset();
    restoreRememberedCredentials();
    logProgramPath();
    connectFormActions();
}

VelmoraAuth::~VelmoraAuth()
{
    stopBackgroundWork();
}

void VelmoraAuth::stopBackgroundWork()
{
    requests.cancelAll();
    keepAliveWorker->stop();
    keepAliveThread->quit();
    keepAliveThread->wait();
    delete keepAliveThread; // its worker goes with it, through deleteLater at the thread's end

    // A cut-off request ends its thread at once; only a connection attempt to an appliance that
    // does not answer cannot be cut and may hold its thread for minutes. Rather than keep a
    // program the user asked to end, or destroy a running thread, let the system end it: the
    // settings store and the log are on disk already.
    const QDeadlineTimer deadline(5000);
    for (const QPointer<QThread>& worker : workerThreads) {
        if (worker && !worker->wait(deadline)) {
            traceError("A request to the appliance is still under way; ending without it.");
            std::_Exit(EXIT_SUCCESS);
        }
    }
}

void VelmoraAuth::createTrayIcon()
{
    trayIcon = std::make_unique<QSystemTrayIcon>();
    trayMenu = new QMenu(this);
    exitAction = new QAction(QStringLiteral("Exit"), this);
    try {
        traceInfo("Initailize system tray icon");
        traceInfo("Set the icon in system tray");
        // Read as the PNG it is: an icon made from the file name asks every image plugin of the
        // system whether it reads PNG, and so loads them all.
        QImageReader trayImage(QStringLiteral(":/VelmoraAuth/assets/MicrosoftTeams-image.png"),
                               "png");
        trayImage.setAutoDetectImageFormat(false);
        trayIcon->setIcon(QIcon(QPixmap::fromImage(trayImage.read())));
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
