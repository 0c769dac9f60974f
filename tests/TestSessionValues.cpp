#include "settings/ByteText.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include <QDir>

namespace {

const std::u16string settingsKey = u"Software\\Velmora\\VelmoraAuth";

void store(const std::u16string& name, const std::string& utf8)
{
    std::string error;
    QVERIFY(RegistryStore().writeString(RegistryRoot::CurrentUser, settingsKey, name,
                                        velmora::widenBytes(utf8), error));
}

std::u16string stored(const std::u16string& name)
{
    std::u16string value = u"<missing>";
    std::string error;
    RegistryStore().readString(RegistryRoot::CurrentUser, settingsKey, name, value, error);
    return value;
}

} // namespace

// Session values, the endpoint and the remembered credentials between the window and the real
// settings store.
class TestSessionValues : public QObject
{
    Q_OBJECT

public:
    explicit TestSessionValues(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void init();
    void firstRunKeepsTheInitialValues();
    void saveThenLoadRestoresEveryValue();
    void loadParsesPortAndScheme_data();
    void loadParsesPortAndScheme();
    void clearedSessionLoadsAsLoggedOutEndpoint();
    void rememberMeIsTickedByExactlyYes_data();
    void rememberMeIsTickedByExactlyYes();
    void nonAsciiCredentialsComeBackByteForByte();
    void aMissingValueDoesNotStopTheOthers();

private:
    IsolatedHome& m_home;
};

void TestSessionValues::init()
{
    QDir(m_home.configFolder() + QStringLiteral("/Velmora")).removeRecursively();
}

void TestSessionValues::firstRunKeepsTheInitialValues()
{
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QCOMPARE(inspect.fixedIP(), "");
    QCOMPARE(inspect.fixedPort(), 0);
    QVERIFY2(inspect.isHttps(), "the load stopped before the scheme");
    QCOMPARE(inspect.userid(), "");
    QCOMPARE(inspect.username(), "");
    QCOMPARE(inspect.k1(), "");
    QVERIFY(inspect.ui().lineEdit_username->text().isEmpty());
    QVERIFY(inspect.ui().lineEdit_password->text().isEmpty());
    QCOMPARE(inspect.ui().remberMe->checkState(), Qt::Unchecked);
    QCOMPARE(stored(u"keep_userid"), u"<missing>"); // reading creates nothing
}

void TestSessionValues::saveThenLoadRestoresEveryValue()
{
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    inspect.setSession("7", "ann \\\"quoted\\\"", "99");
    inspect.setEndpoint("127.0.0.9", -5, false);
    window.saveSessionValues();
    QCOMPARE(stored(u"keep_userid"), u"7");
    QCOMPARE(stored(u"keep_username"), u"ann \\\"quoted\\\"");
    QCOMPARE(stored(u"keep_k1"), u"99");
    QCOMPARE(stored(u"keep_fixedIP"), u"127.0.0.9");
    QCOMPARE(stored(u"keep_fixedPort"), u"-5");
    QCOMPARE(stored(u"keepAlive_isHttps"), u"0");

    inspect.setSession("1", "bob", "2");
    inspect.setEndpoint("127.0.0.1", 80, true);
    window.loadSessionValues();
    QCOMPARE(inspect.userid(), "7");
    QCOMPARE(inspect.username(), "ann \\\"quoted\\\"");
    QCOMPARE(inspect.k1(), "99");
    QCOMPARE(inspect.fixedIP(), "127.0.0.9");
    QCOMPARE(inspect.fixedPort(), -5);
    QVERIFY(!inspect.isHttps());
}

void TestSessionValues::loadParsesPortAndScheme_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("httpsText");
    QTest::addColumn<int>("expectedPort");
    QTest::addColumn<bool>("expectedHttps");
    // An unparsable port ends the load: the port and the scheme keep their initial values.
    QTest::newRow("digits then letters") << "8090abc"
                                         << "1" << 8090 << true;
    QTest::newRow("blank and sign") << "  +443"
                                    << "0" << 443 << false;
    QTest::newRow("negative") << "-1"
                              << "1" << -1 << true;
    QTest::newRow("scheme 2 is not https") << "443"
                                           << "2" << 443 << false;
    QTest::newRow("scheme with blank") << "443"
                                       << " 1" << 443 << true;
    QTest::newRow("letters stop the load") << "abc"
                                           << "0" << 0 << true;
    QTest::newRow("empty stops the load") << ""
                                          << "0" << 0 << true;
    QTest::newRow("beyond 32 bits stops the load") << "99999999999"
                                                   << "0" << 0 << true;
    QTest::newRow("bad scheme keeps the port") << "80"
                                               << "x" << 80 << true;
}

void TestSessionValues::loadParsesPortAndScheme()
{
    QFETCH(QString, portText);
    QFETCH(QString, httpsText);
    QFETCH(int, expectedPort);
    QFETCH(bool, expectedHttps);
    // No session values, so the window starts no session check.
    store(u"keep_fixedIP", "127.0.0.7");
    store(u"keep_fixedPort", portText.toStdString());
    store(u"keepAlive_isHttps", httpsText.toStdString());

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QCOMPARE(inspect.fixedIP(), "127.0.0.7"); // read before the port, whatever follows
    QCOMPARE(inspect.fixedPort(), expectedPort);
    QCOMPARE(inspect.isHttps(), expectedHttps);
}

void TestSessionValues::clearedSessionLoadsAsLoggedOutEndpoint()
{
    store(u"keep_fixedPort", "8090");
    store(u"keepAlive_isHttps", "0");
    {
        VelmoraAuth window;
        window.clearSessionValues();
    }
    for (const char16_t* name : { u"keep_userid", u"keep_username", u"keep_k1", u"keep_fixedIP" })
        QCOMPARE(stored(name), u"");
    QCOMPARE(stored(u"keep_fixedPort"), u"1");
    QCOMPARE(stored(u"keepAlive_isHttps"), u"1");

    VelmoraAuth restarted;
    VelmoraAuthInspector inspect(restarted);
    QCOMPARE(inspect.fixedIP(), "");
    QCOMPARE(inspect.fixedPort(), 1);
    QVERIFY(inspect.isHttps());
    QCOMPARE(inspect.startedWorkerThreads(), 0); // no session check
}

void TestSessionValues::rememberMeIsTickedByExactlyYes_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("ticked");
    QTest::newRow("Yes") << "Yes" << true;
    QTest::newRow("yes") << "yes" << false;
    QTest::newRow("YES") << "YES" << false;
    QTest::newRow("trailing blank") << "Yes " << false;
    QTest::newRow("blanked") << "" << false;
}

void TestSessionValues::rememberMeIsTickedByExactlyYes()
{
    QFETCH(QString, stored);
    QFETCH(bool, ticked);
    store(u"rememberme", stored.toStdString());
    VelmoraAuth window;
    QCOMPARE(VelmoraAuthInspector(window).ui().remberMe->isChecked(), ticked);
}

void TestSessionValues::nonAsciiCredentialsComeBackByteForByte()
{
    const QString name = QStringLiteral("Jürgen Øster");
    const QString password = QStringLiteral("päss€wörd 密码");
    store(u"username", name.toStdString());
    store(u"password", password.toStdString());
    store(u"rememberme", "Yes");
    // The UTF-8 bytes are widened one by one: "ü" (C3 BC) is stored as FFC3 FFBC.
    QVERIFY(stored(u"username").find(u"\xFFC3\xFFBC") != std::u16string::npos);

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QCOMPARE(inspect.ui().lineEdit_username->text(), name);
    QCOMPARE(inspect.ui().lineEdit_password->text(), password);
    QVERIFY(inspect.ui().remberMe->isChecked());
}

void TestSessionValues::aMissingValueDoesNotStopTheOthers()
{
    store(u"password", "only-the-password");
    store(u"rememberme", "Yes");
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QVERIFY(inspect.ui().lineEdit_username->text().isEmpty());
    QCOMPARE(inspect.ui().lineEdit_password->text(), "only-the-password");
    QVERIFY(inspect.ui().remberMe->isChecked());
}

VELMORA_TEST_MAIN(TestSessionValues)
#include "TestSessionValues.moc"
