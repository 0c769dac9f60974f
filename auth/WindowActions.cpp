#include "auth/VelmoraAuth.h"

#include "app/Trace.h"

#include <QAction>
#include <QCoreApplication>
#include <QSystemTrayIcon>

void VelmoraAuth::connectTrayActions()
{
    connect(exitAction, &QAction::triggered, this, [] {
        traceInfo("Triggered exit button.");
        QCoreApplication::quit();
    });
    connect(trayIcon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                traceInfo("Restore the application window when the system tray icon is clicked");
                // A double click, a middle click or the context menu only log.
                if (reason == QSystemTrayIcon::Trigger) {
                    show();
                    raise();
                    activateWindow();
                }
            });
}
