#include "support/PortalTestSupport.h"
#include "support/StoredValues.h"
#include "support/TestMain.h"
#include "support/VelmoraAuthInspector.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>

#include <sys/stat.h>

namespace {

using Group = std::vector<std::string>;

// The group of values as the store holds them now.
Group storedGroup(std::initializer_list<const char16_t*> names)
{
    Group values;
    for (const char16_t* name : names)
        values.push_back(storedValue(name));
    return values;
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
    void saveReportsEveryValueWithTheOutcomeOfTheGroup();
    void rememberMeIsTickedByExactlyYesAndAMissingNameStopsNothing_data();
    void rememberMeIsTickedByExactlyYesAndAMissingNameStopsNothing();
    void nonAsciiCredentialsComeBackByteForByte();
    void administratorPresetFillsOnlyAMissingEndpoint_data();
    void administratorPresetFillsOnlyAMissingEndpoint();
    void killedSavesLeaveEachGroupAllOldOrAllNew();

private:
    IsolatedHome& m_home;
};

void TestSessionValues::init()
{
    m_home.clearSettings();
    QFile::remove(m_home.presetFile());
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

void TestSessionValues::saveReportsEveryValueWithTheOutcomeOfTheGroup()
{
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    inspect.setSession("7", "ann", "99");
    inspect.setEndpoint("127.0.0.9", 443, true);
    const std::vector<std::pair<QByteArray, QByteArray>> saved {
        { "keep_userid", "7" },          { "keep_username", "ann" },  { "keep_k1", "99" },
        { "keep_fixedIP", "127.0.0.9" }, { "keep_fixedPort", "443" }, { "keepAlive_isHttps", "1" }
    };
    // "[date] [logger] [level] [file:line in function()] - message" as "level message".
    const auto traced = [](const LogTail& log) {
        QStringList found;
        for (const QString& line : log.lines())
            found << line.section(QStringLiteral("] ["), 2, 2) + ' '
                    + line.section(QStringLiteral("()] - "), 1);
        return found;
    };

    for (const bool writable : { true, false }) {
        if (!writable) {
            // A folder where the file should be: the store cannot be replaced.
            const QString file =
                m_home.configFolder() + QStringLiteral("/Velmora/VelmoraAuth.conf");
            QVERIFY(QFile::remove(file) && QDir().mkpath(file));
        }
        const LogTail log(m_home.logFile());
        StdoutCapture console;
        window.saveSessionValues();

        QByteArray expectedConsole;
        QStringList expectedLog;
        for (const auto& [name, value] : saved) {
            expectedConsole += "set value registry:" + name + ':' + value + '\n'
                + (writable ? "successfully add into registry\n" : "Error:\n");
            expectedLog << QStringLiteral("info Set the userid into registry......")
                        << (writable
                                ? QStringLiteral("info Successfully add keep alive into registry")
                                : QStringLiteral("error "));
        }
        QCOMPARE(console.text(), expectedConsole);
        QCOMPARE(traced(log), expectedLog);
    }
}

void TestSessionValues::rememberMeIsTickedByExactlyYesAndAMissingNameStopsNothing_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("ticked");
    QTest::newRow("Yes") << "Yes" << true;
    QTest::newRow("yes") << "yes" << false;
    QTest::newRow("YES") << "YES" << false;
    QTest::newRow("trailing blank") << "Yes " << false;
    QTest::newRow("blanked") << "" << false;
}

void TestSessionValues::rememberMeIsTickedByExactlyYesAndAMissingNameStopsNothing()
{
    QFETCH(QString, stored);
    QFETCH(bool, ticked);
    QVERIFY(storeValue(u"password", "only-the-password"));
    QVERIFY(storeValue(u"rememberme", stored.toStdString()));
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QCOMPARE(inspect.ui().remberMe->isChecked(), ticked);
    QVERIFY(inspect.ui().lineEdit_username->text().isEmpty());
    QCOMPARE(inspect.ui().lineEdit_password->text(), "only-the-password");
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

void TestSessionValues::administratorPresetFillsOnlyAMissingEndpoint_data()
{
    QTest::addColumn<QString>("storedEndpoint"); // address:port in the user's store, or nothing
    QTest::addColumn<QByteArray>("preset"); // the preset file, or nothing
    QTest::addColumn<QString>("endpoint"); // fixedIP:fixedPort after the start
    QTest::addColumn<QString>("line"); // the preset's trace line, or nothing

    const auto preset = [](const char* address, const char* port) {
        return "[General]\nkeep_fixedIP=" + QByteArray(address)
            + (port ? "\nkeep_fixedPort=" + QByteArray(port) : QByteArray()) + "\n";
    };
    const QByteArray good = preset("127.0.0.5", "8090");
    const QString used =
        "info|Using the administrator's preset of the appliance: 127.0.0.5 port 8090";
    const QString ignored =
        "error|Ignoring the administrator's preset of the appliance: keep_fixedIP "
        "must be an IPv4 address and keep_fixedPort a port from 1 to 65535";
    QTest::newRow("new user: the preset") << QString() << good << "127.0.0.5:8090" << used;
    QTest::newRow("the user's endpoint wins")
        << "127.0.0.9:443" << good << "127.0.0.9:443" << QString();
    // After a logout the store holds no address and port 1: the preset again.
    QTest::newRow("logged out: the preset") << ":1" << good << "127.0.0.5:8090" << used;
    QTest::newRow("no preset") << QString() << QByteArray() << ":0" << QString();
    const char* const refused[][3] = {
        { "address out of range", "127.0.0.300", "8090" },
        { "address with a blank", "\"127.0.0.5 \"", "80" },
        { "port with letters", "127.0.0.5", "8090x" },
        { "port beyond 65535", "127.0.0.5", "70000" },
        { "port 0", "127.0.0.5", "0" },
        // A spelling that only the system's resolver would read.
        { "preset as a single number", "2130706437", "8090" },
        { "preset in hexadecimal", "0x7f.0.0.5", "8090" },
        { "address without a port", "127.0.0.5", nullptr },
    };
    for (const auto& [name, address, port] : refused)
        QTest::newRow(name) << QString() << preset(address, port) << ":0" << ignored;
    // The address in its canonical form, whatever decimal spelling it was written in.
    QTest::newRow("preset with leading zeros")
        << QString() << preset("127.000.000.005", "08090") << "127.0.0.5:8090" << used;
    QTest::newRow("the user's address with leading zeros")
        << "127.000.000.009:443" << good << "127.0.0.9:443" << QString();
    QTest::newRow("the user's address as a single number: the preset")
        << "2130706441:443" << good << "127.0.0.5:8090" << used;
}

void TestSessionValues::administratorPresetFillsOnlyAMissingEndpoint()
{
    QFETCH(QString, storedEndpoint);
    QFETCH(QByteArray, preset);
    QFETCH(QString, endpoint);
    QFETCH(QString, line);

    if (!storedEndpoint.isNull()) {
        const QStringList parts = storedEndpoint.split(QLatin1Char(':'));
        QVERIFY(storeValue(u"keep_fixedIP", parts[0].toStdString()));
        QVERIFY(storeValue(u"keep_fixedPort", parts[1].toStdString()));
    }
    if (!preset.isNull()) {
        QVERIFY(QDir().mkpath(QFileInfo(m_home.presetFile()).path()));
        QFile file(m_home.presetFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(preset);
    }

    const LogTail log(m_home.logFile());
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    QCOMPARE(QString::fromStdString(inspect.fixedIP()) + ':' + QString::number(inspect.fixedPort()),
             endpoint);
    // One line when there is a preset, none without.
    QCOMPARE(log.count(QStringLiteral("administrator's preset")), line.isEmpty() ? 0 : 1);
    if (!line.isEmpty())
        QVERIFY2(log.hasLine(line.section('|', 0, 0), line.section('|', 1)),
                 qPrintable(log.lines().join('\n')));
    // The preset lives in the window only; the user's store keeps what it had.
    QCOMPARE(storedValue(u"keep_fixedIP"),
             storedEndpoint.isNull() ? "<missing>"
                                     : storedEndpoint.section(':', 0, 0).toStdString());
}

// A save is one step: a program killed at any moment leaves each group as one of the states it
// saved, never the new address with the old port, and each value whole, in a file only the user
// reads.
void TestSessionValues::killedSavesLeaveEachGroupAllOldOrAllNew()
{
    const std::vector<Group> sessions { { "1001", "alpha", "5551", "127.0.0.11", "8090", "1" },
                                        { "2002", "beta", "6662", "127.0.0.22", "80", "0" },
                                        { "", "", "", "", "1", "1" } };
    const std::vector<Group> credentials { { "ann", "first-secret", "Yes" },
                                           { "bob", "second-secret", "Yes" },
                                           { "", "", "" } };
    for (int attempt = 0; attempt < 12; ++attempt) {
        QProcess writer;
        writer.setStandardOutputFile(QProcess::nullDevice());
        writer.setReadChannel(QProcess::StandardError);
        writer.start(QStringLiteral(VELMORA_SESSION_WRITER), QStringList());
        // Every state has been written once before the kill. A writer killed just as it made its
        // lock file leaves it empty, and QLockFile only takes an empty lock over after 30 seconds.
        QByteArray said;
        while (!said.contains("written") && writer.waitForReadyRead(45000))
            said += writer.readAll();
        QVERIFY2(said.contains("written"), said.constData());
        QTest::qWait(static_cast<int>(QRandomGenerator::global()->bounded(20, 200)));
        writer.kill();
        QVERIFY(writer.waitForFinished(5000));

        const Group session =
            storedGroup({ u"keep_userid", u"keep_username", u"keep_k1", u"keep_fixedIP",
                          u"keep_fixedPort", u"keepAlive_isHttps" });
        QVERIFY2(std::find(sessions.begin(), sessions.end(), session) != sessions.end(),
                 ("a mixed session: " + session[0] + " " + session[3] + ":" + session[4]).c_str());
        const Group remembered = storedGroup({ u"username", u"password", u"rememberme" });
        QVERIFY2(std::find(credentials.begin(), credentials.end(), remembered) != credentials.end(),
                 ("mixed credentials: " + remembered[0] + " " + remembered[1]).c_str());
        for (const char16_t* name : { u"v1", u"v2", u"v3", u"v4" }) {
            const std::string value = storedValue(name);
            QCOMPARE(value.size(), size_t(200000));
            QVERIFY2(std::count(value.begin(), value.end(), value.front()) == 200000,
                     "a value is whole");
        }
        const QString file = m_home.configFolder() + QStringLiteral("/Velmora/VelmoraAuth.conf");
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
    }
}

VELMORA_TEST_MAIN(TestSessionValues)
#include "TestSessionValues.moc"
