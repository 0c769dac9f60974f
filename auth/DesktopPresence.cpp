#include "auth/VelmoraAuth.h"

#include "app/StartWithDesktop.h"
#include "app/Trace.h"
#include "auth/AutomaticLogin.h"
#include "auth/DesktopNotices.h"
#include "auth/TrayState.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

void VelmoraAuth::setUpDesktopPresence()
{
    notices = new DesktopNotices(this, trayIcon.get(), this);
    connect(notices, &DesktopNotices::clicked, this, [this] {
        traceInfo("Restore the application window when a notice is clicked");
        showNormal();
        raise();
        activateWindow();
    });
    connect(notices, &DesktopNotices::silenceChanged, this, &VelmoraAuth::showTrayState);
    connect(ui.stackedWidget, &QStackedWidget::currentChanged, this, &VelmoraAuth::showTrayState);

    startWithDesktopAction = new QAction(QStringLiteral("Start with the desktop"), this);
    startWithDesktopAction->setCheckable(true);
    trayMenu->insertAction(exitAction, startWithDesktopAction);
    // What the system holds, each time the menu opens: the entry may have been removed by hand.
    connect(trayMenu, &QMenu::aboutToShow, this,
            [this] { startWithDesktopAction->setChecked(velmora::startsWithDesktop()); });
    connect(startWithDesktopAction, &QAction::triggered, this, [this](bool on) {
        traceInfo(on ? "Turn on start with the desktop" : "Turn off start with the desktop");
        if (!velmora::setStartWithDesktop(on))
            traceError("Could not change start with the desktop");
        startWithDesktopAction->setChecked(velmora::startsWithDesktop());
    });
    startWithDesktopAction->setChecked(velmora::startsWithDesktop());
    automaticLogin = std::make_unique<AutomaticLogin>(*this, startWithDesktopAction);
    showTrayState();
}

void VelmoraAuth::showTrayState()
{
    using velmora::TrayState;
    const int page = ui.stackedWidget->currentIndex();
    TrayState state = TrayState::NotConnected;
    if (page == 1 || (page == 0 && (sessionCheckUnderWay || automaticLogin->underWay())))
        state = TrayState::UnderWay;
    else if (page == 2 && !notices->isApplianceSilent())
        state = TrayState::Connected;
    if (static_cast<int>(state) == shownTrayState)
        return;
    shownTrayState = static_cast<int>(state);
    traceInfo(state == TrayState::Connected      ? "Show connected in system tray"
                  : state == TrayState::UnderWay ? "Show login under way in system tray"
                                                 : "Show not connected in system tray");
    trayIcon->setIcon(velmora::trayImage(state));
}
