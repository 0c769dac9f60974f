#include "app/Entry.h"
#include "support/PortalTestSupport.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include <QDir>
#include <QFile>
#include <QSystemTrayIcon>

namespace {

// The fill colour of a widget as the style sheets paint it: left of any centred text and clear
// of rounded corners.
QColor fillColour(QWidget* widget)
{
    const QImage image = widget->grab().toImage();
    return image.pixelColor(image.width() / 8, image.height() / 2);
}

// Pixels of two pictures of a widget that differ plainly: by more than a third of the range in
// one channel at least. A faint dotted focus frame changes few of them, or none.
int plainlyDifferentPixels(const QImage& before, const QImage& after)
{
    int differing = 0;
    for (int y = 0; y < std::min(before.height(), after.height()); ++y) {
        for (int x = 0; x < std::min(before.width(), after.width()); ++x) {
            const QColor a = before.pixelColor(x, y);
            const QColor b = after.pixelColor(x, y);
            differing += std::abs(a.red() - b.red()) > 85 || std::abs(a.green() - b.green()) > 85
                || std::abs(a.blue() - b.blue()) > 85;
        }
    }
    return differing;
}

} // namespace

class TestWindowShape : public QObject
{
    Q_OBJECT

public:
    explicit TestWindowShape(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void windowStartsFixedOnAnEmptyForm();
    void visibleTextsAreTheWindowsOwn_data();
    void visibleTextsAreTheWindowsOwn();
    void keyboardFocusShowsOnEveryControlAndStyleSheetsPaint();
    void windowIconIsTheWorkingFoldersFileElseTheBuiltInOne();
    void onlyASingleClickOnTheTrayShowsTheWindowAndClosingMinimisesIt();

private:
    IsolatedHome& m_home;
};

void TestWindowShape::windowStartsFixedOnAnEmptyForm()
{
    VelmoraAuth window;
    shapeMainWindow(window);
    QCOMPARE(window.minimumSize(), QSize(400, 600));
    QCOMPARE(window.maximumSize(), QSize(400, 600));
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(window.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    auto& ui = VelmoraAuthInspector(window).ui();
    QCOMPARE(ui.stackedWidget->count(), 4);
    QCOMPARE(ui.stackedWidget->currentIndex(), 0);
    const QStringList names { QStringLiteral("page"), QStringLiteral("page_3"),
                              QStringLiteral("page_2"), QStringLiteral("page_4") };
    for (int index = 0; index < names.size(); ++index)
        QCOMPARE(ui.stackedWidget->widget(index)->objectName(), names.at(index));
    QVERIFY(ui.stackedWidget->widget(0)->isAncestorOf(ui.login));
    QVERIFY(ui.stackedWidget->widget(1)->isAncestorOf(ui.label_2));
    QVERIFY(ui.stackedWidget->widget(2)->isAncestorOf(ui.logout));
    QVERIFY(ui.stackedWidget->widget(3)->isAncestorOf(ui.label_3));
    // The logo and the two link buttons sit outside the stack, so every page shows them.
    QVERIFY(!ui.stackedWidget->isAncestorOf(ui.label));
    QVERIFY(!ui.stackedWidget->isAncestorOf(ui.howToUse));
    QVERIFY(!ui.stackedWidget->isAncestorOf(ui.termsAndCondition));
    for (const char* name : { "logo_2.jpg", "MicrosoftTeams-image.png", "icon.ico" })
        QVERIFY2(!QImage(QStringLiteral(":/VelmoraAuth/assets/") + QLatin1String(name)).isNull(),
                 name);
    QVERIFY(!VelmoraAuthInspector(window).trayIcon()->icon().isNull());

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.resize(800, 900);
    QCOMPARE(window.size(), QSize(400, 600));
    QVERIFY(ui.lineEdit_ipAdress->isHidden());
    QVERIFY(ui.lineEdit_portadress->isHidden());
    QVERIFY(ui.lineEdit_username->isVisible());
    QVERIFY(ui.lineEdit_password->isVisible());
    QCOMPARE(ui.lineEdit_password->echoMode(), QLineEdit::Password);
    QCOMPARE(ui.remberMe->checkState(), Qt::Unchecked);
    QCOMPARE(ui.autoDetectIpAddress->checkState(), Qt::Checked);
    QCOMPARE(ui.autoDetectPortAddress->checkState(), Qt::Checked);
    QVERIFY(ui.lineEdit_username->text().isEmpty());
    QVERIFY(ui.lineEdit_password->text().isEmpty());
    // The logo label has no text: anything but white in it is the logo being drawn.
    const QImage logo = ui.label->grab().toImage();
    int painted = 0;
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 0; x < logo.width(); ++x)
            painted += logo.pixelColor(x, y) != Qt::white;
    QVERIFY2(painted > logo.width(), "the logo is drawn");
}

void TestWindowShape::visibleTextsAreTheWindowsOwn_data()
{
    // The window's title, a field's placeholder, or the text of anything else.
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("expected");
    QTest::newRow("title") << "VelmoraAuthClass" << QStringLiteral("Velmora Auth");
    QTest::newRow("user name") << "lineEdit_username" << QStringLiteral("User name");
    QTest::newRow("password") << "lineEdit_password" << QStringLiteral("Password");
    QTest::newRow("ip") << "lineEdit_ipAdress" << QStringLiteral("IP Address");
    QTest::newRow("port") << "lineEdit_portadress" << QStringLiteral("Port Address");
    QTest::newRow("ip box") << "autoDetectIpAddress" << QStringLiteral("Auto detect IP address");
    QTest::newRow("port box") << "autoDetectPortAddress"
                              << QStringLiteral("Auto detect Port address");
    QTest::newRow("remember") << "remberMe" << QStringLiteral("Remember me");
    QTest::newRow("login") << "login" << QStringLiteral("Login");
    QTest::newRow("loading") << "label_2" << QStringLiteral("Loading ...");
    QTest::newRow("connected") << "label_4" << QStringLiteral("You are connected to \nInternet");
    QTest::newRow("logout") << "logout" << QStringLiteral("Logout");
    QTest::newRow("help")
        << "label_3"
        << "How to use\n- Ensure that you are connected to the correct network.\n- Allow all the "
           "necessary permissions\nConfiguration for Faster Connection\n1.Set IP address "
           "manually:(Gateway of Firewall).\n2.Set Port manually:(80/443/8090).";
    QTest::newRow("how to use") << "howToUse" << QStringLiteral("How to use");
    QTest::newRow("terms") << "termsAndCondition" << QStringLiteral("Terms and condition");
}

void TestWindowShape::visibleTextsAreTheWindowsOwn()
{
    QFETCH(QString, objectName);
    QFETCH(QString, expected);
    VelmoraAuth window;
    QObject* object =
        window.objectName() == objectName ? &window : window.findChild<QObject*>(objectName);
    QVERIFY2(object, qPrintable(objectName));
    const char* property = object == &window ? "windowTitle"
        : qobject_cast<QLineEdit*>(object)   ? "placeholderText"
                                             : "text";
    QCOMPARE(object->property(property).toString(), expected);
}

void TestWindowShape::keyboardFocusShowsOnEveryControlAndStyleSheetsPaint()
{
    VelmoraAuth window;
    shapeMainWindow(window);
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto& ui = VelmoraAuthInspector(window).ui();
    // The field of each box shows, so that every control of the form takes part.
    ui.autoDetectIpAddress->click();
    ui.autoDetectPortAddress->click();
    QWidget* const elsewhere = ui.stackedWidget;
    elsewhere->setFocusPolicy(Qt::StrongFocus);

    const auto check = [&](QWidget* control) {
        elsewhere->setFocus(Qt::OtherFocusReason);
        const QImage unfocused = control->grab().toImage();
        control->setFocus(Qt::TabFocusReason);
        if (!control->hasFocus())
            return QStringLiteral("%1 takes no focus").arg(control->objectName());
        const int differing = plainlyDifferentPixels(unfocused, control->grab().toImage());
        const int needed = (control->width() + control->height()) / 2;
        return differing >= needed ? QString()
                                   : QStringLiteral("%1: %2 pixels show the focus, %3 wanted")
                                         .arg(control->objectName())
                                         .arg(differing)
                                         .arg(needed);
    };
    QStringList faint;
    for (QWidget* control : std::initializer_list<QWidget*> {
             ui.lineEdit_username, ui.lineEdit_password, ui.autoDetectIpAddress,
             ui.lineEdit_ipAdress, ui.autoDetectPortAddress, ui.lineEdit_portadress, ui.remberMe,
             ui.login, ui.howToUse, ui.termsAndCondition }) {
        if (const QString problem = check(control); !problem.isEmpty())
            faint << problem;
    }
    ui.stackedWidget->setCurrentIndex(2);
    if (const QString problem = check(ui.logout); !problem.isEmpty())
        faint << problem;
    QVERIFY2(faint.isEmpty(), qPrintable(faint.join(QStringLiteral("; "))));

    // Unfocused, the buttons keep their colours; disabled, they are grey.
    elsewhere->setFocus(Qt::OtherFocusReason);
    QCOMPARE(fillColour(ui.logout), QColor(QStringLiteral("#E74C3C")));
    ui.logout->setEnabled(false);
    QCOMPARE(fillColour(ui.logout), QColor(QStringLiteral("#bdc3c7")));
    ui.stackedWidget->setCurrentIndex(0);
    QCOMPARE(fillColour(ui.login), QColor(QStringLiteral("#3498db")));
    ui.login->setEnabled(false);
    QCOMPARE(fillColour(ui.login), QColor(QStringLiteral("#bdc3c7")));
    QCOMPARE(ui.howToUse->grab().toImage().pixelColor(2, 2), QColor(Qt::white));
    QCOMPARE(fillColour(window.centralWidget()).name(), QStringLiteral("#ffffff"));
}

void TestWindowShape::windowIconIsTheWorkingFoldersFileElseTheBuiltInOne()
{
    const QString startFolder = QDir::currentPath();
    QTemporaryDir folder;
    QVERIFY(QDir::setCurrent(folder.path()));
    const auto iconColour = [] {
        VelmoraAuth window;
        shapeMainWindow(window);
        const QImage image = window.windowIcon().pixmap(32, 32).toImage();
        return image.isNull() ? QColor() : image.pixelColor(16, 16);
    };

    // Started from a menu: no icon file in the working folder.
    const QImage builtIn =
        QIcon(QStringLiteral(":/VelmoraAuth/assets/icon.ico")).pixmap(32, 32).toImage();
    QCOMPARE(iconColour(), builtIn.pixelColor(16, 16));

    QVERIFY(QDir().mkdir(QStringLiteral("assets")));
    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(QStringLiteral("assets/icon.ico"), "ico"));
    QCOMPARE(iconColour(), QColor(Qt::red));
    QVERIFY(QDir::setCurrent(startFolder));
}

void TestWindowShape::onlyASingleClickOnTheTrayShowsTheWindowAndClosingMinimisesIt()
{
    VelmoraAuth window;
    QSystemTrayIcon* tray = VelmoraAuthInspector(window).trayIcon();
    const LogTail log(m_home.logFile());
    for (auto reason :
         { QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Context }) {
        emit tray->activated(reason);
        QVERIFY(window.isHidden());
    }
    emit tray->activated(QSystemTrayIcon::Trigger);
    QVERIFY(window.isVisible());
    QCOMPARE(log.count(QStringLiteral(
                 "Restore the application window when the system tray icon is clicked")),
             4);

    // The offscreen platform has no tray, as a bare window manager has none: a hidden window
    // could never come back. (With a tray, TestOnXDisplay sees it hidden.)
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    QVERIFY2(!window.close(), "the close request is refused");
    QVERIFY(window.isVisible());
    QVERIFY(window.isMinimized());
    QVERIFY(!QCoreApplication::closingDown());
}

VELMORA_TEST_MAIN(TestWindowShape)
#include "TestWindowShape.moc"
