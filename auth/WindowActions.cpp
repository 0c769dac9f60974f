#include "auth/VelmoraAuth.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "auth/Browser.h"
#include "auth/InformationBox.h"
#include "portal/HttpEngine.h"

#include <QAction>
#include <QCoreApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <iostream>

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

void VelmoraAuth::connectFormActions()
{
    connect(ui.autoDetectIpAddress, &QCheckBox::clicked, this, [this] {
        std::cout << "check ip" << std::endl;
        traceInfo("clicked autodetectIPAddress");
        // Read after the click has toggled it.
        if (isTicked(ui.autoDetectIpAddress)) {
            traceInfo("Hide IP address");
            ui.lineEdit_ipAdress->hide();
        } else {
            traceInfo("Show IP address");
            ui.lineEdit_ipAdress->show();
        }
    });
    connect(ui.autoDetectPortAddress, &QCheckBox::clicked, this, [this] {
        std::cout << "check port" << std::endl;
        traceInfo("clicked autoDetectPortAddress");
        if (isTicked(ui.autoDetectPortAddress)) {
            traceInfo("Hide port address");
            ui.lineEdit_portadress->hide();
        } else {
            traceInfo("Show port address");
            ui.lineEdit_portadress->show();
        }
    });
    // A box toggled without a click, as by the toggle action of an assistive tool, moves its field
    // too: the form never hides the field that an unticked box asks for.
    connect(ui.autoDetectIpAddress, &QCheckBox::toggled, this,
            [this] { ui.lineEdit_ipAdress->setHidden(isTicked(ui.autoDetectIpAddress)); });
    connect(ui.autoDetectPortAddress, &QCheckBox::toggled, this,
            [this] { ui.lineEdit_portadress->setHidden(isTicked(ui.autoDetectPortAddress)); });
    connect(ui.logout, &QPushButton::clicked, this, &VelmoraAuth::logoutFromButton);
    connect(ui.login, &QPushButton::clicked, this, &VelmoraAuth::startLogin);
    for (QLineEdit* field : { ui.lineEdit_username, ui.lineEdit_password, ui.lineEdit_ipAdress,
                              ui.lineEdit_portadress }) {
        connect(field, &QLineEdit::returnPressed, this, [this] {
            if (ui.login->isVisible() && ui.login->isEnabled())
                ui.login->click();
        });
    }
    // Someone typing a user name or password is about to log in: the HTTP client loads
    // meanwhile, off the GUI thread. A start that is only shown, or sits in the tray, maps no TLS
    // library.
    for (QLineEdit* field : { ui.lineEdit_username, ui.lineEdit_password })
        connect(field, &QLineEdit::textEdited, this, [] { velmora::loadHttpClientAhead(); });
    // Emitted on the login thread: queued to the GUI thread, after everything the worker wrote.
    connect(this, &VelmoraAuth::loginFinished, this, &VelmoraAuth::onLoginFinished);
    connect(this, &VelmoraAuth::keepAliveFinished, this, [] {});
    connect(ui.termsAndCondition, &QToolButton::clicked, this, [] {
        traceInfo("Hit termsAndCondition using shell execute and try to open termsAndCondition in "
                  "default web browser");
        velmora::openInBrowser(velmora::termsAndConditionsUrl);
    });
    connect(ui.howToUse, &QToolButton::clicked, this, [] {
        QMessageBox::information(
            nullptr, QStringLiteral("How to use"),
            QStringLiteral("- Ensure that you are connected to the correct "
                           "network.\n - Allows all the necessary permissions\n "
                           "1.Set IP address manually: (Gateway of Firewall).\n 2. "
                           "Set Port manually: (80/443/8090)."),
            QMessageBox::Ok);
    });
}

void VelmoraAuth::logoutFromButton()
{
    traceInfo("clicked Logout button");
    traceInfo("Set disable logout button and open loading page");
    ui.logout->setEnabled(false);
    ui.stackedWidget->setCurrentIndex(1);
    QCoreApplication::processEvents();
    traceInfo("Hit logout function and wait for response");
    // The window goes on answering (Exit above all) while the appliance takes its time.
    offGuiThread([this] { return logout(); },
                 [this](bool loggedOut) { logoutFromButtonEnded(loggedOut); });
}

void VelmoraAuth::logoutFromButtonEnded(bool loggedOut)
{
    std::string message;
    {
        std::lock_guard lock(stateMutex);
        isLoggedOut = loggedOut;
        message = errorMessage;
    }
    if (loggedOut) {
        traceInfo("Successfully logout and set login page");
        ui.stackedWidget->setCurrentIndex(0);
    } else {
        traceInfo("Error while logout time");
        traceError(velmora::outsideText(message));
        velmora::showInformation(this, message);
    }
    ui.stackedWidget->setCurrentIndex(0);
    ui.logout->setEnabled(true);
    QCoreApplication::processEvents();
}
