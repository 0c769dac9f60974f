#include "auth/VelmoraAuth.h"

#include "auth/AutomaticLogin.h"
#include "auth/DesktopNotices.h"
#include "auth/InformationBox.h"

// The window's side of what the portal's exchanges ask of it: each widget step goes to the GUI
// thread, and those given `logins` are skipped once the user has started a login since.

void VelmoraAuth::showConnectedPage(std::uint64_t logins, bool paint)
{
    onGuiThreadUnlessSuperseded(logins, [this, paint] {
        ui.stackedWidget->setCurrentIndex(2);
        if (paint)
            runPendingEvents();
    });
}

void VelmoraAuth::showLoginPage(std::uint64_t logins)
{
    onGuiThreadUnlessSuperseded(logins, [this] {
        if (ui.stackedWidget->currentIndex() != 0)
            ui.stackedWidget->setCurrentIndex(0);
    });
}

void VelmoraAuth::leaveConnectedPage(std::uint64_t logins)
{
    onGuiThreadUnlessSuperseded(logins, [this] {
        clearPasswordUnlessRemembered();
        if (ui.stackedWidget->currentIndex() == 2) {
            ui.stackedWidget->setCurrentIndex(0);
            runPendingEvents();
        }
    });
}

void VelmoraAuth::forgetTypedPassword()
{
    onGuiThread([this] { clearPasswordUnlessRemembered(); });
}

void VelmoraAuth::showLoggedOut()
{
    onGuiThread([this] {
        ui.stackedWidget->setCurrentIndex(0);
        runPendingEvents();
    });
}

void VelmoraAuth::applianceAnswered(std::uint64_t logins)
{
    onGuiThreadUnlessSuperseded(logins, [this] { notices->applianceAnswered(); });
}

void VelmoraAuth::keepAliveUnanswered(std::uint64_t logins)
{
    onGuiThreadUnlessSuperseded(logins, [this] { notices->keepAliveUnanswered(); });
}

void VelmoraAuth::sessionEnded(std::uint64_t logins, const std::string& reason)
{
    onGuiThreadUnlessSuperseded(
        logins, [this, reason = velmora::shownMessage(reason)] { notices->sessionEnded(reason); });
}

void VelmoraAuth::reloginFailed(std::uint64_t logins, const std::string& message)
{
    onGuiThreadUnlessSuperseded(logins, [this, message = velmora::shownMessage(message)] {
        notices->reloginFailed(message);
    });
}

void VelmoraAuth::applianceEndedSession(const std::string& reason)
{
    automaticLogin->applianceEnded(reason);
}

void VelmoraAuth::sessionCheckEnded(bool revived)
{
    onGuiThread([this, revived] { automaticLogin->sessionCheckEnded(revived); });
}
