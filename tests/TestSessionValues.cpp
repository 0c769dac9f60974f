#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include <QDir>

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
    QCOMPARE(storedValue(u"keep_userid"), "<missing>"); // reading creates nothing
}

void TestSessionValues::saveThenLoadRestoresEveryValue()
{
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    inspect.setSession("7", "ann \\\"quoted\\\"", "99");
    inspect.setEndpoint("127.0.0.9", -5, false);
    window.saveSessionValues();
    QCOMPARE(storedValue(u"keep_userid"), "7");
    QCOMPARE(storedValue(u"keep_username"), "ann \\\"quoted\\\"");
    QCOMPARE(storedValue(u"keep_k1"), "99");
    QCOMPARE(storedValue(u"keep_fixedIP"), "127.0.0.9");
    QCOMPARE(storedValue(u"keep_fixedPort"), "-5");
    QCOMPARE(storedValue(u"keepAlive_isHttps"), "0");

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
    QVERIFY(storeValue(u"keep_fixedIP", "127.0.0.7"));
    QVERIFY(storeValue(u"keep_fixedPort", portText.toStdString()));
    QVERIFY(storeValue(u"keepAlive_isHttps", httpsText.toStdString()));

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QCOMPARE(inspect.fixedIP(), "127.0.0.7"); // read before the port, whatever follows
    QCOMPARE(inspect.fixedPort(), expectedPort);
    QCOMPARE(inspect.isHttps(), expectedHttps);
}

void TestSessionValues::clearedSessionLoadsAsLoggedOutEndpoint()
{
    QVERIFY(storeValue(u"keep_fixedPort", "8090"));
    QVERIFY(storeValue(u"keepAlive_isHttps", "0"));
    {
        VelmoraAuth window;
        window.clearSessionValues();
    }
    for (const char16_t* name : { u"keep_userid", u"keep_username", u"keep_k1", u"keep_fixedIP" })
        QCOMPARE(storedValue(name), "");
    QCOMPARE(storedValue(u"keep_fixedPort"), "1");
    QCOMPARE(storedValue(u"keepAlive_isHttps"), "1");

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
    QVERIFY(storeValue(u"rememberme", stored.toStdString()));
    VelmoraAuth window;
    QCOMPARE(VelmoraAuthInspector(window).ui().remberMe->isChecked(), ticked);
}

void TestSessionValues::nonAsciiCredentialsComeBackByteForByte()
{
    const QString name = QStringLiteral("Jürgen Øster");
    const QString password = QStringLiteral("päss€wörd 密码");
    QVERIFY(storeValue(u"username", name.toStdString()));
    QVERIFY(storeValue(u"password", password.toStdString()));
    QVERIFY(storeValue(u"rememberme", "Yes"));
    // The UTF-8 bytes are widened one by one: "ü" (C3 BC) is stored as FFC3 FFBC.
    std::u16string units;
    std::string error;
    QVERIFY(RegistryStore().readString(RegistryRoot::CurrentUser, u"Software\\Velmora\\VelmoraAuth",
                                       u"username", units, error));
    QVERIFY(units.find(u"\xFFC3\xFFBC") != std::u16string::npos);

    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QCOMPARE(inspect.ui().lineEdit_username->text(), name);
    QCOMPARE(inspect.ui().lineEdit_password->text(), password);
    QVERIFY(inspect.ui().remberMe->isChecked());
}

void TestSessionValues::aMissingValueDoesNotStopTheOthers()
{
    QVERIFY(storeValue(u"password", "only-the-password"));
    QVERIFY(storeValue(u"rememberme", "Yes"));
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QVERIFY(inspect.ui().lineEdit_username->text().isEmpty());
    QCOMPARE(inspect.ui().lineEdit_password->text(), "only-the-password");
    QVERIFY(inspect.ui().remberMe->isChecked());
}

VELMORA_TEST_MAIN(TestSessionValues)
#include "TestSessionValues.moc"
