// Takes pictures of the tray icon in each of its states, and of a notice, on a real X display
// with a tray host and a notification service (scripts/screenshots.sh starts trayer and dunst).
// The window stays hidden, as it does in the tray; the session runs against a stand-in appliance.
#include "app/Entry.h"
#include "app/ProcessSignals.h"
#include "support/PortalTestSupport.h"
#include "support/VelmoraAuthInspector.h"

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QtTest>

#include <iostream>

namespace {

QString outputFolder;

bool saveArea(const QRect& area, const QString& name, int zoom)
{
    QTest::qWait(500); // let the tray and the service paint
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    const QString path = outputFolder + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool saved = !shot.isNull()
        && shot.scaled(shot.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation)
               .save(path);
    std::cout << (saved ? "saved " : "FAILED ") << path.toStdString() << std::endl;
    return saved;
}

// The tray icon and a little of the panel around it, four times as large.
bool saveTray(QSystemTrayIcon* tray, const QString& name)
{
    const QRect icon = tray->geometry();
    return icon.isValid() && saveArea(icon.adjusted(-12, -6, 12, 6), name, 4);
}

bool waitFor(const std::function<bool()>& done, int milliseconds = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QTest::qWait(20);
    return done();
}

} // namespace

int main(int argc, char* argv[])
{
    velmora::ignoreBrokenPipes();
    prepareDesktopScaling();
    QApplication application(argc, argv);
    outputFolder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(outputFolder);

    auto appliance = startAppliance({ { "127.0.0.1", 0, standin::Scheme::https } });
    VelmoraAuth window;
    shapeMainWindow(window);
    VelmoraAuthInspector inspect(window);
    QSystemTrayIcon* tray = inspect.trayIcon();
    if (!waitFor([&] { return tray->geometry().isValid(); })) {
        std::cout << "FAILED: no tray icon docked" << std::endl;
        return 1;
    }
    bool ok = saveTray(tray, QStringLiteral("tray-1-not-connected"));

    // A login from the form, its answer held back so the tray shows it under way.
    auto& ui = inspect.ui();
    ui.autoDetectIpAddress->setChecked(false);
    ui.autoDetectPortAddress->setChecked(false);
    ui.lineEdit_username->setText(QStringLiteral("ann"));
    ui.lineEdit_password->setText(QStringLiteral("secret"));
    ui.lineEdit_ipAdress->setText(QStringLiteral("127.0.0.1"));
    ui.lineEdit_portadress->setText(QString::number(appliance->listeners().at(0).port));
    appliance->injectFault(faultOn(standin::Exchange::login, standin::Fault::slowAnswer,
                                   std::chrono::milliseconds(3000)));
    ui.login->click();
    ok = waitFor([&] { return inspect.trayImage() == QLatin1String("busy"); }) && ok;
    ok = saveTray(tray, QStringLiteral("tray-2-login-under-way")) && ok;
    ok = waitFor([&] { return inspect.trayImage() == QLatin1String("connected"); }) && ok;
    ok = saveTray(tray, QStringLiteral("tray-3-connected")) && ok;

    // The appliance ends the session while the window is hidden: the next keep-alive hears it.
    appliance->kickOut("ann");
    window.keepALive();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    ok = saveArea(QRect(screen.right() - 480, 0, 480, 160), QStringLiteral("notice-logged-out"), 1)
        && ok;
    ok = saveTray(tray, QStringLiteral("tray-4-logged-out")) && ok;
    return ok ? 0 : 1;
}
