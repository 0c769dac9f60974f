#include "app/Entry.h"

#include "app/Console.h"
#include "app/ProcessSignals.h"
#include "app/SingleInstance.h"
#include "app/StartOptions.h"
#include "app/Trace.h"
#include "auth/VelmoraAuth.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>

#include <exception>
#include <iostream>

// The icon below may be needed before the window registers the resources. Qt wants this outside
// any namespace.
static void initialiseResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

// The executable's file name on Windows, and the name of the single-instance lock everywhere.
constexpr char instanceName[] = "Velmora Auth.exe";
// Read from the working directory first on purpose: an icon file beside the program can be
// replaced. Started from a desktop menu, the working directory is the home folder, which has none.
const QString iconFile = QStringLiteral("assets/icon.ico");
const QString builtInIcon = QStringLiteral(":/VelmoraAuth/assets/icon.ico");

QIcon windowIcon()
{
    initialiseResources();
    return QIcon(QFileInfo::exists(iconFile) ? iconFile : builtInIcon);
}

} // namespace

void prepareDesktopScaling()
{
    // The form is laid out in pixels of a 96-dpi screen. Unscaled, a 192-dpi screen gets fonts of
    // twice the pixels in the same 400 x 600 pixels, and text is clipped.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // A desktop set to 150 % gets 150 %, not 200 %.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

void preferRasterWindows()
{
    // The window is drawn by the CPU and holds no OpenGL view. Left to itself, Qt loads the
    // system's OpenGL stack for the first window in case one is added later (on a machine without
    // a graphics card, Mesa and LLVM): more than half of the work before the window appears.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
}

int runVelmoraAuth(int argc, char* argv[])
{
    velmora::ignoreBrokenPipes();
    if (velmora::asksForHelpOrVersion(argc, argv)) {
        // Answered and ended in readStartOptions, on a terminal without a display as well.
        QCoreApplication commandLine(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("VelmoraAuth"));
        velmora::readStartOptions(commandLine);
    }
    prepareDesktopScaling();
    preferRasterWindows();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VelmoraAuth"));
    // The application id: the name of the desktop entry, the metainfo and the icons.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.velmora.VelmoraAuth"));
    // Only Exit and the termination signals end the program: a message box shown while the
    // window is hidden is the last window when it closes.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(windowIcon());
    // Refuses what it does not know on the standard error the program was given, before the
    // console takes it.
    const velmora::StartOptions options = velmora::readStartOptions(application);
    velmora::allocateHiddenConsole();

    velmora::SingleInstanceLock instanceLock(instanceName);
    if (instanceLock.acquire() == velmora::SingleInstanceLock::Result::AlreadyHeld) {
        // The user who starts it again is looking for the window: the copy that runs shows it.
        instanceLock.askHolderToShow();
        QMessageBox::critical(nullptr, QStringLiteral("Error"),
                              QStringLiteral("Another instance of VelmoraAuth is already running."),
                              QMessageBox::Ok);
        return 1;
    }
    velmora::quitOnTerminationRequests();

    VelmoraAuth window;
    shapeMainWindow(window);
    // The lock, and with it the listener, goes before the application, which therefore carries
    // the request to the window.
    instanceLock.listenForLaterStarts([shown = QPointer<VelmoraAuth>(&window)] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [shown] {
                if (!shown)
                    return;
                traceInfo("Show the window for another start of the program");
                shown->showNormal();
                shown->raise();
                shown->activateWindow();
            },
            Qt::QueuedConnection);
    });
    velmora::showWindow(window, options);
    return application.exec();
}

void shapeMainWindow(QMainWindow& window)
{
    try {
        window.setWindowIcon(windowIcon());
    } catch (const std::exception& error) {
        std::cout << "Error: " << error.what() << std::endl;
    }
    const Qt::WindowFlags flags = window.windowFlags() & ~Qt::WindowMaximizeButtonHint;
    // setWindowFlags re-parents the window, and re-parenting makes every child work out its style
    // sheets again (some 15 million instructions). Before the native window exists the flags
    // only need recording: it is made with them.
    if (window.testAttribute(Qt::WA_WState_Created))
        window.setWindowFlags(flags);
    else
        window.overrideWindowFlags(flags);
    window.setFixedSize(400, 600);
}
