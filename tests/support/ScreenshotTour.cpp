// Walks the real window through its pages on a real X display and saves what the display shows
// of each: the login form, the form filled in, the loading page, the connected page, the help
// page and the "How to use" box. Run by scripts/screenshots.sh under Xvfb.
#include "app/Entry.h"
#include "app/ProcessSignals.h"
#include "support/PortalTestSupport.h"
#include "support/VelmoraAuthInspector.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <iostream>

namespace {

QString outputFolder;

bool save(QWidget* window, const QString& name)
{
    QTest::qWait(300); // let the display catch up with the last change
    const QPixmap shot = window->screen()->grabWindow(window->winId());
    const QString path = outputFolder + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool saved = !shot.isNull() && shot.save(path);
    std::cout << (saved ? "saved " : "FAILED ") << path.toStdString() << std::endl;
    return saved;
}

bool waitFor(const std::function<bool()>& done, int milliseconds = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QTest::qWait(20);
    return done();
}

void type(QLineEdit* field, const QString& text)
{
    field->clear();
    QTest::keyClicks(field, text);
}

void clickBox(QCheckBox* box)
{
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(8, box->height() / 2));
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
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    VelmoraAuthInspector inspect(window);
    auto& ui = inspect.ui();
    bool ok = save(&window, QStringLiteral("1-login"));

    clickBox(ui.autoDetectIpAddress);
    clickBox(ui.autoDetectPortAddress);
    type(ui.lineEdit_username, QStringLiteral("ann"));
    type(ui.lineEdit_password, QStringLiteral("secret"));
    type(ui.lineEdit_ipAdress, QStringLiteral("127.0.0.1"));
    type(ui.lineEdit_portadress, QString::number(appliance->listeners().at(0).port));
    clickBox(ui.remberMe);
    ok = save(&window, QStringLiteral("2-login-filled")) && ok;

    standin::FaultRule slow;
    slow.fault = standin::Fault::slowAnswer;
    slow.exchange = standin::Exchange::probe;
    slow.delay = std::chrono::milliseconds(2500);
    appliance->injectFault(slow);
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
    return ok ? 0 : 1;
}
