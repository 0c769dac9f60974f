// Walks the real window through its pages on a real X display and saves what the display shows
// of each: the login form, the form filled in, the loading page, the connected page, the help
// page, the "How to use" box, and the question about an appliance's changed identity with the
// message after its No. Run by scripts/screenshots.sh under Xvfb.
//   velmora-screenshot-tour FOLDER [tray]
// With "tray", the window stays hidden, as it does in the tray, and the pictures are of the tray
// icon in each of its states and of a notice: the display needs a tray host and the session bus
// a notification service (the script starts trayer and dunst).
#include "app/Entry.h"
#include "app/ProcessSignals.h"
#include "support/WindowFixture.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

#include <iostream>

namespace {

QString outputFolder;

bool store(const QPixmap& shot, const QString& name)
{
    const QString path = outputFolder + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool saved = !shot.isNull() && shot.save(path);
    std::cout << (saved ? "saved " : "FAILED ") << path.toStdString() << std::endl;
    return saved;
}

bool save(QWidget* window, const QString& name)
{
    QTest::qWait(300); // let the display catch up with the last change
    return store(window->screen()->grabWindow(window->winId()), name);
}

bool waitFor(const std::function<bool()>& done, int milliseconds = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QTest::qWait(20);
    return done();
}

bool saveArea(const QRect& area, const QString& name, int zoom)
{
    QTest::qWait(500); // let the tray and the service paint
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    return store(shot.scaled(shot.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation),
                 name);
}

// The tray icon and a little of the panel around it, four times as large, once the tray has
// docked and painted it (until then the icon's place is the screen's corner).
bool saveTray(QSystemTrayIcon* tray, const QString& name)
{
    const auto painted = [&] {
        const QRect icon = tray->geometry();
        const QImage shot = QGuiApplication::primaryScreen()
                                ->grabWindow(0, icon.x(), icon.y(), icon.width(), icon.height())
                                .toImage();
        return !shot.isNull()
            && shot.pixel(shot.width() / 2, shot.height() / 2) != shot.pixel(0, 0);
    };
    return waitFor(painted) && saveArea(tray->geometry().adjusted(-12, -6, 12, 6), name, 4);
}

int trayTour()
{
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

} // namespace

int main(int argc, char* argv[])
{
    velmora::ignoreBrokenPipes();
    prepareDesktopScaling();
    preferRasterWindows();
    QApplication application(argc, argv);
    outputFolder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(outputFolder);
    if (argc > 2 && QLatin1String(argv[2]) == QLatin1String("tray"))
        return trayTour();

    auto appliance = startAppliance({ { "127.0.0.1", 0, standin::Scheme::https } });
    VelmoraAuth window;
    shapeMainWindow(window);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    VelmoraAuthInspector inspect(window);
    auto& ui = inspect.ui();
    bool ok = save(&window, QStringLiteral("1-login"));

    click(ui.autoDetectIpAddress);
    click(ui.autoDetectPortAddress);
    typeInto(ui.lineEdit_username, QStringLiteral("ann"));
    typeInto(ui.lineEdit_password, QStringLiteral("secret"));
    typeInto(ui.lineEdit_ipAdress, QStringLiteral("127.0.0.1"));
    typeInto(ui.lineEdit_portadress, QString::number(appliance->listeners().at(0).port));
    click(ui.remberMe);
    ok = save(&window, QStringLiteral("2-login-filled")) && ok;

    appliance->injectFault(faultOn(standin::Exchange::probe, standin::Fault::slowAnswer,
                                   std::chrono::milliseconds(2500)));
    QTest::mouseClick(ui.login, Qt::LeftButton);
    ok = save(&window, QStringLiteral("3-loading")) && ok;

    ok = waitFor(
             [&] { return ui.stackedWidget->currentIndex() == 2 && ui.stackedWidget->isEnabled(); })
        && ok;
    ok = save(&window, QStringLiteral("4-connected")) && ok;

    // No action of the window selects the help page; show it for the picture.
    ui.stackedWidget->setCurrentIndex(3);
    ok = save(&window, QStringLiteral("5-help")) && ok;
    ui.stackedWidget->setCurrentIndex(2);

    QTimer::singleShot(500, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ok = save(box, QStringLiteral("6-how-to-use")) && ok;
            box->accept();
        }
    });
    QTest::mouseClick(ui.howToUse, Qt::LeftButton);

    QTest::mouseClick(ui.logout, Qt::LeftButton);
    ok = waitFor([&] { return ui.stackedWidget->currentIndex() == 0 && ui.logout->isEnabled(); })
        && ok;
    ok = save(&window, QStringLiteral("7-after-logout")) && ok;

    // The appliance comes back with another key: the next login asks whether to trust it, and
    // Return (No, the default) ends it with the login's own message.
    const auto where = appliance->listeners();
    appliance.reset();
    appliance = startAppliance(where);
    int boxes = 0;
    QTimer answer;
    answer.setInterval(200);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        ++boxes;
        ok = save(box,
                  boxes == 1 ? QStringLiteral("8-identity-changed")
                             : QStringLiteral("9-identity-refused"))
            && ok;
        QTest::keyClick(box, Qt::Key_Return);
    });
    answer.start();
    typeInto(ui.lineEdit_password, QStringLiteral("secret"));
    QTest::mouseClick(ui.login, Qt::LeftButton);
    ok = waitFor([&] { return boxes == 2 && ui.stackedWidget->isEnabled(); }, 20000) && ok;
    return ok ? 0 : 1;
}
