#include "app/Entry.h"

#include "app/Console.h"
#include "app/ProcessSignals.h"
#include "app/SingleInstance.h"
#include "auth/VelmoraAuth.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <exception>
#include <iostream>

namespace {

// The executable's file name on Windows, and the name of the single-instance lock everywhere.
constexpr char instanceName[] = "Velmora Auth.exe";
// Read from the working directory on purpose: an icon file beside the program can be replaced.
const QString iconFile = QStringLiteral("assets/icon.ico");

} // namespace

int runVelmoraAuth(int argc, char* argv[])
{
    velmora::allocateHiddenConsole();
    velmora::ignoreBrokenPipes();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VelmoraAuth"));
    // The application id: the name of the desktop entry, the metainfo and the icons.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.velmora.VelmoraAuth"));
    QApplication::setWindowIcon(QIcon(iconFile));

    velmora::SingleInstanceLock instanceLock(instanceName);
    if (instanceLock.acquire() == velmora::SingleInstanceLock::Result::AlreadyHeld) {
        QMessageBox::critical(nullptr, QStringLiteral("Error"),
                              QStringLiteral("Another instance of VelmoraAuth is already running."),
                              QMessageBox::Ok);
        return 1;
    }
    velmora::quitOnTerminationRequests();

    VelmoraAuth window;
    shapeMainWindow(window);
    window.show();
    return application.exec();
}

void shapeMainWindow(QMainWindow& window)
{
    try {
        window.setWindowIcon(QIcon(iconFile));
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
