#include "support/ModalBoxes.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include <QDesktopServices>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QSettings>
#include <QUrl>

// Catches what the window asks the desktop to open, so no browser starts.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

// The window's own actions besides login and logout.
class TestWindowActions : public QObject
{
    Q_OBJECT

public:
    explicit TestWindowActions(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void boxesAndLinksOfTheForm();
    void startWithTheDesktopWritesAValidEntryAndShowsItAsItIs();

private:
    IsolatedHome& m_home;
};

void TestWindowActions::boxesAndLinksOfTheForm()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    VelmoraAuth window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto& ui = VelmoraAuthInspector(window).ui();

    // The auto-detect boxes show and hide their fields independently.
    QTest::mouseClick(ui.autoDetectIpAddress, Qt::LeftButton);
    QVERIFY(ui.lineEdit_ipAdress->isVisible());
    QVERIFY(!ui.lineEdit_portadress->isVisible());
    QTest::mouseClick(ui.autoDetectPortAddress, Qt::LeftButton);
    QVERIFY(ui.lineEdit_portadress->isVisible());
    QTest::mouseClick(ui.autoDetectIpAddress, Qt::LeftButton);
    QVERIFY(!ui.lineEdit_ipAdress->isVisible());
    QVERIFY(ui.lineEdit_portadress->isVisible());
    QTest::mouseClick(ui.autoDetectPortAddress, Qt::LeftButton);
    QVERIFY(!ui.lineEdit_portadress->isVisible());

    // "How to use" shows its text, without a trace line.
    QFile log(m_home.logFile());
    const qint64 logSize = log.size();
    ModalBoxes boxes;
    QTest::mouseClick(ui.howToUse, Qt::LeftButton);
    QTRY_COMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].title, "How to use");
    QCOMPARE(boxes.shown[0].text,
             "- Ensure that you are connected to the correct network.\n"
             " - Allows all the necessary permissions\n"
             " 1.Set IP address manually: (Gateway of Firewall).\n"
             " 2. Set Port manually: (80/443/8090).");
    QVERIFY(!boxes.shown[0].hadParent);
    QCOMPARE(log.size(), logSize);

    // The terms open in the browser.
    QTest::mouseClick(ui.termsAndCondition, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(catcher.opened.size(), 1);
    QCOMPARE(catcher.opened[0].path(), "/terms-and-conditions");
}

void TestWindowActions::startWithTheDesktopWritesAValidEntryAndShowsItAsItIs()
{
    const QString entry =
        m_home.configFolder() + QStringLiteral("/autostart/com.velmora.VelmoraAuth.desktop");
    QFile::remove(entry);
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QAction* action = inspect.startWithDesktopAction();
    QCOMPARE(action->text(), QStringLiteral("Start with the desktop"));
    QVERIFY(action->isCheckable());
    QVERIFY(!action->isChecked());
    // In the tray menu, just above Exit.
    const QList<QAction*> menu = inspect.trayMenu()->actions();
    QCOMPARE(menu.indexOf(action) + 1, menu.indexOf(inspect.exitAction()));

    action->trigger();
    QVERIFY(action->isChecked());
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    file.close();
    QProcess validate;
    validate.start(QStringLiteral("desktop-file-validate"), { entry });
    QVERIFY(validate.waitForFinished(20000));
    const QByteArray complaints = validate.readAll();
    QVERIFY2(validate.exitCode() == 0 && complaints.isEmpty(), complaints.constData());
    QSettings read(entry, QSettings::IniFormat);
    // This program, started hidden in the tray.
    QCOMPARE(read.value(QStringLiteral("Desktop Entry/Exec")).toString(),
             QCoreApplication::applicationFilePath() + QStringLiteral(" --start-hidden"));

    // Each opening of the menu shows the entry as it is now, whoever changed it.
    QVERIFY(QFile::remove(entry)); // by hand, behind the program's back
    emit inspect.trayMenu()->aboutToShow();
    QVERIFY(!action->isChecked());
    const auto rewrite = [&](QIODevice::OpenMode mode, const QByteArray& text) {
        QVERIFY(file.open(mode));
        file.write(text);
        file.close();
        emit inspect.trayMenu()->aboutToShow();
    };
    rewrite(QIODevice::WriteOnly, written);
    QVERIFY(action->isChecked());
    // Switched off the way a desktop's settings do it, the file kept.
    rewrite(QIODevice::Append, "Hidden=true\n");
    QVERIFY(!action->isChecked());

    rewrite(QIODevice::WriteOnly, written);
    action->trigger();
    QVERIFY(!action->isChecked());
    QVERIFY(!QFile::exists(entry));
}

VELMORA_TEST_MAIN(TestWindowActions)
#include "TestWindowActions.moc"
