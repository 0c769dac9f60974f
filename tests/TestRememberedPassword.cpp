#include "support/ModalBoxes.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/WindowFixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QProcess>

using standin::Scheme;

// The remembered password against a real Secret Service: gnome-keyring-daemon on the private
// session bus this program runs on (keyring-session.sh), checked with secret-tool.

namespace {

const QString password = QStringLiteral("Kr-t3st-Pa55!");
const QString keyringPassword = QStringLiteral("unlock-the-test-keyring");
const QStringList itemAttributes = {
    QStringLiteral("server"), QStringLiteral("Velmora Auth"),
    QStringLiteral("user"),   QStringLiteral("Software\\Velmora\\VelmoraAuth"),
    QStringLiteral("type"),   QStringLiteral("plaintext")
};

bool secretsOnBus()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(
        QStringLiteral("org.freedesktop.secrets"));
}

// What secret-tool finds under the item's attributes; empty when nothing.
QString keyringItem()
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               QStringList { QStringLiteral("lookup") } + itemAttributes);
    tool.waitForFinished(20000);
    return QString::fromUtf8(tool.readAllStandardOutput());
}

bool storeKeyringItem(const QString& secret)
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               QStringList { QStringLiteral("store"), QStringLiteral("--label=Velmora Auth") }
                   + itemAttributes);
    tool.write(secret.toUtf8());
    tool.closeWriteChannel();
    return tool.waitForFinished(20000) && tool.exitCode() == 0;
}

// The desktop's unlock prompt as gnome-keyring asks for it: it takes the request and answers
// nothing while the user thinks it over; leaving the bus is the user's refusal.
class SilentPrompter : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.keyring.internal.Prompter")

public:
    int begun = 0;

public slots:
    void BeginPrompting(const QDBusObjectPath&) { ++begun; }
    void PerformPrompt(const QDBusObjectPath&, const QString&, const QVariantMap&, const QString&)
    {
    }
    void StopPrompting(const QDBusObjectPath&) { }
};

} // namespace

class TestRememberedPassword : public QObject, WindowFixture
{
    Q_OBJECT

public:
    explicit TestRememberedPassword(IsolatedHome& home)
        : WindowFixture(home)
    {
    }

private slots:
    void init();
    void cleanup();
    void rememberedLoginKeepsThePasswordInTheKeyringOnly();
    void earlierVersionsPasswordMovesToTheKeyringUnlessRefused_data();
    void earlierVersionsPasswordMovesToTheKeyringUnlessRefused();
    void unreadableItemLeavesTheFormWithoutPassword_data();
    void unreadableItemLeavesTheFormWithoutPassword();
    void readWaitsForTheUnlockPromptWithoutHoldingTheWindow();
    void withoutASecretServiceThePasswordStaysInTheFile();
    void untickingRememberMeDeletesTheItem();

private:
    void startKeyring();
    void stopKeyring();
    void lockKeyring();
    void logIn(bool tickRememberMe);
    // A keyring, a window, and ann logged in with "Remember me": the password is in the keyring.
    void logInRememberedInTheKeyring();

    QProcess m_keyring;
    std::unique_ptr<ModalBoxes> m_boxes;
    // Where the case lets the password be: the no-keyring case keeps it in the file.
    bool m_fileMayHoldPassword = false;
};

void TestRememberedPassword::init()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "runs on a private session bus");
    m_home.clearSettings();
    QDir(m_home.path() + QStringLiteral("/.local/share/keyrings")).removeRecursively();
    m_fileMayHoldPassword = false;
    m_appliance = startAppliance({ { "127.0.0.1", 0, Scheme::https } },
                                 { { "ann", password.toStdString() } });
    m_boxes = std::make_unique<ModalBoxes>();
}

void TestRememberedPassword::cleanup()
{
    closeWindow();
    m_boxes.reset();
    m_appliance.reset();
    stopKeyring();
    // Wherever the case went, the password reached neither the log nor (but without a keyring)
    // the settings file.
    QFile log(m_home.logFile());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY2(!log.readAll().contains(password.toUtf8()), "the password is in the log");
    QFile settings(m_home.configFolder() + QStringLiteral("/Velmora/VelmoraAuth.conf"));
    if (settings.open(QIODevice::ReadOnly) && !m_fileMayHoldPassword)
        QVERIFY2(!settings.readAll().contains(password.toUtf8()),
                 "the password is in the settings file");
}

void TestRememberedPassword::startKeyring()
{
    // The login keyring, created or unlocked with its password from standard input, becomes the
    // default collection.
    m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                    { QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                      QStringLiteral("--components=secrets") });
    QVERIFY(m_keyring.waitForStarted());
    m_keyring.write(keyringPassword.toUtf8());
    m_keyring.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(secretsOnBus(), 10000);
}

void TestRememberedPassword::stopKeyring()
{
    if (m_keyring.state() == QProcess::NotRunning)
        return;
    m_keyring.terminate();
    m_keyring.waitForFinished(10000);
    QTRY_VERIFY_WITH_TIMEOUT(!secretsOnBus(), 10000);
}

void TestRememberedPassword::lockKeyring()
{
    // Locked as after a screen lock; this bus has no prompter, so an unlock the program asks for
    // is refused.
    QProcess gdbus;
    gdbus.start(QStringLiteral("gdbus"),
                { QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                  QStringLiteral("org.freedesktop.secrets"), QStringLiteral("--object-path"),
                  QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("--method"),
                  QStringLiteral("org.freedesktop.Secret.Service.Lock"),
                  QStringLiteral("['/org/freedesktop/secrets/collection/login']") });
    QVERIFY(gdbus.waitForFinished(10000));
    QCOMPARE(gdbus.exitCode(), 0);
    QVERIFY(keyringItem().isEmpty());
}

void TestRememberedPassword::logIn(bool tickRememberMe)
{
    click(ui().autoDetectIpAddress);
    click(ui().autoDetectPortAddress);
    typeInto(ui().lineEdit_ipAdress, QStringLiteral("127.0.0.1"));
    typeInto(ui().lineEdit_portadress, QString::number(m_appliance->listeners().at(0).port));
    if (ui().remberMe->isChecked() != tickRememberMe)
        click(ui().remberMe);
    click(ui().login);
    QTRY_VERIFY(ui().stackedWidget->currentIndex() == 2 && ui().stackedWidget->isEnabled());
}

void TestRememberedPassword::logInRememberedInTheKeyring()
{
    startKeyring();
    startWindow(Show::exposed);
    typeInto(ui().lineEdit_username, QStringLiteral("ann"));
    typeInto(ui().lineEdit_password, password);
    logIn(true);
    QTRY_COMPARE(keyringItem(), password);
}

void TestRememberedPassword::rememberedLoginKeepsThePasswordInTheKeyringOnly()
{
    logInRememberedInTheKeyring();
    QCOMPARE(storedValue(u"username"), "ann");
    QCOMPARE(storedValue(u"password"), "");
    QCOMPARE(storedValue(u"rememberme"), "Yes");

    // The next start takes the password from the keyring. Its stored session has expired by
    // then; the keep-alive is answered once the keyring has had time to answer too. The file
    // holds no password: only the keyring's can log in again.
    closeWindow();
    m_appliance->expireSessions();
    m_appliance->injectFault(faultOn(standin::Exchange::keepAlive, standin::Fault::slowAnswer,
                                     std::chrono::milliseconds(1500)));
    m_appliance->clearRequestLog();
    LogTail log(m_home.logFile());
    startWindow(Show::exposed);
    QTRY_COMPARE(ui().lineEdit_password->text(), password);
    QVERIFY(log.contains(QStringLiteral("The desktop's keyring gave the remembered password.")));
    QTRY_VERIFY_WITH_TIMEOUT(
        log.contains(QStringLiteral("Try to login when session expired keepalive")), 10000);
    QTRY_COMPARE(page(), 2);
    QVERIFY(!log.contains(QStringLiteral("No password to log in again with")));
    QCOMPARE(loginPasswords(), std::vector<std::string> { password.toStdString() });
    QVERIFY(m_boxes->shown.isEmpty());
}

void TestRememberedPassword::earlierVersionsPasswordMovesToTheKeyringUnlessRefused_data()
{
    QTest::addColumn<bool>("refused");
    QTest::newRow("keyring takes it") << false;
    QTest::newRow("locked keyring refuses it") << true;
}

void TestRememberedPassword::earlierVersionsPasswordMovesToTheKeyringUnlessRefused()
{
    QFETCH(bool, refused);
    storeRemembered(password.toStdString());
    startKeyring();
    if (refused) {
        m_fileMayHoldPassword = true;
        lockKeyring();
    }
    LogTail log(m_home.logFile());
    startWindow(Show::exposed);
    QCOMPARE(ui().lineEdit_password->text(), password); // at once, from the file
    if (refused) {
        QTRY_VERIFY(log.contains(QStringLiteral("The desktop's keyring did not take the remembered "
                                                "password, so it stays in the settings file")));
        QCOMPARE(storedValue(u"password"), password.toStdString());
        return;
    }
    QTRY_COMPARE(storedValue(u"password"), "");
    QCOMPARE(keyringItem(), password);
    QCOMPARE(storedValue(u"username"), "ann");
    QCOMPARE(storedValue(u"rememberme"), "Yes");

    startWindow(Show::exposed);
    QTRY_COMPARE(ui().lineEdit_password->text(), password);
}

void TestRememberedPassword::unreadableItemLeavesTheFormWithoutPassword_data()
{
    QTest::addColumn<bool>("itemStored");
    QTest::newRow("locked keyring, unlock refused") << true;
    QTest::newRow("item lost") << false;
}

void TestRememberedPassword::unreadableItemLeavesTheFormWithoutPassword()
{
    QFETCH(bool, itemStored);
    startKeyring();
    storeRemembered("");
    if (itemStored) {
        QVERIFY(storeKeyringItem(password));
        lockKeyring();
    }
    LogTail log(m_home.logFile());
    startWindow(Show::exposed);
    QTRY_VERIFY(log.contains(QStringLiteral("The desktop's keyring gave no remembered password")));
    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QVERIFY(m_boxes->shown[0].text.contains(QStringLiteral("Type your password")));
    QCOMPARE(ui().lineEdit_username->text(), "ann");
    QVERIFY(ui().lineEdit_password->text().isEmpty());
    QVERIFY(ui().remberMe->isChecked());

    // Told once: showing the window again says nothing more.
    m_window->hide();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QVERIFY(m_inspect->guiStepsDone());
    QCOMPARE(m_boxes->shown.size(), 1);

    // Nothing stored was blanked: the file as it was, and the item is there once unlocked.
    closeWindow();
    QCOMPARE(storedValue(u"username"), "ann");
    QCOMPARE(storedValue(u"rememberme"), "Yes");
    if (itemStored) {
        stopKeyring();
        startKeyring();
        QCOMPARE(keyringItem(), password);
    }
}

void TestRememberedPassword::readWaitsForTheUnlockPromptWithoutHoldingTheWindow()
{
    startKeyring();
    QVERIFY(storeKeyringItem(password));
    storeRemembered("");
    lockKeyring();
    SilentPrompter prompter;
    {
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("prompter"));
        QVERIFY(bus.registerObject(QStringLiteral("/org/gnome/keyring/Prompter"), &prompter,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.gnome.keyring.SystemPrompter")));
    }
    startWindow(Show::exposed);
    QTRY_COMPARE(prompter.begun, 1);

    // The prompt is up: the window goes on with its work and takes what the user types.
    typeInto(ui().lineEdit_ipAdress, QStringLiteral("10.1.2.3"));
    QCOMPARE(ui().lineEdit_ipAdress->text(), "10.1.2.3");
    QCOMPARE(ui().lineEdit_username->text(), "ann");
    QVERIFY(ui().lineEdit_password->text().isEmpty());
    QVERIFY(m_boxes->shown.isEmpty());

    // The user turns the prompt down.
    QDBusConnection::disconnectFromBus(QStringLiteral("prompter"));
    QTRY_COMPARE(m_boxes->shown.size(), 1);
    QVERIFY(ui().lineEdit_password->text().isEmpty());
    QCOMPARE(storedValue(u"username"), "ann");
    QCOMPARE(storedValue(u"rememberme"), "Yes");
}

void TestRememberedPassword::withoutASecretServiceThePasswordStaysInTheFile()
{
    m_fileMayHoldPassword = true;
    QVERIFY(!secretsOnBus());
    LogTail log(m_home.logFile());
    startWindow(Show::exposed);
    typeInto(ui().lineEdit_username, QStringLiteral("ann"));
    typeInto(ui().lineEdit_password, password);
    logIn(true);
    QCOMPARE(storedValue(u"password"), password.toStdString());
    click(ui().logout);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 0);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
    logIn(true);
    QCOMPARE(storedValue(u"password"), password.toStdString());
    // Why, once a run.
    QCOMPARE(log.count(QStringLiteral("No keyring service on the session bus")), 1);

    startWindow(Show::exposed);
    QCOMPARE(ui().lineEdit_password->text(), password);
    QVERIFY(m_boxes->shown.isEmpty());
}

void TestRememberedPassword::untickingRememberMeDeletesTheItem()
{
    logInRememberedInTheKeyring();
    click(ui().logout);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 0);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());

    LogTail log(m_home.logFile());
    logIn(false);
    QTRY_VERIFY(log.contains(
        QStringLiteral("The desktop's keyring no longer holds a remembered password.")));
    QCOMPARE(keyringItem(), QString());
    QCOMPARE(storedValue(u"username"), "");
    QCOMPARE(storedValue(u"password"), "");
    QCOMPARE(storedValue(u"rememberme"), "");
}

VELMORA_TEST_MAIN(TestRememberedPassword)
#include "TestRememberedPassword.moc"
