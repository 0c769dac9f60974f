#include "settings/RegistryStore.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>

#include <sys/stat.h>

namespace {

const std::u16string settingsKey = u"Software\\Velmora\\VelmoraAuth";

mode_t modeOf(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

} // namespace

// The Linux settings store through its real file in an isolated config folder.
class TestSettingsStore : public QObject
{
    Q_OBJECT

public:
    explicit TestSettingsStore(IsolatedHome& home)
        : m_home(home)
    {
    }

private slots:
    void init();
    void readsFailBeforeTheFirstWriteAndLeaveTheOutput();
    void firstWriteCreatesAPrivateStore();
    void writeNarrowsAWiderFileMode();
    void everyUtf16UnitComesBack();
    void textEndsAtTheFirstNul();
    void valueOfAnotherTypeReadsAsMissing_data();
    void valueOfAnotherTypeReadsAsMissing();
    void keyPathsOutsideTheConfigFolderAreRefused();
    void interruptedWriteLeavesOldOrNewContent();
    void machineKeyIsTheFirstSystemFolderHoldingIt();
    void machineKeyIsNeverWritten();

private:
    QString storeFile() const
    {
        return m_home.configFolder() + QStringLiteral("/Velmora/VelmoraAuth.conf");
    }

    IsolatedHome& m_home;
    RegistryStore m_store;
    std::string m_error;
};

void TestSettingsStore::init()
{
    QDir(m_home.configFolder() + QStringLiteral("/Velmora")).removeRecursively();
    qputenv("XDG_CONFIG_DIRS", m_home.systemConfigFolder().toUtf8());
}

void TestSettingsStore::readsFailBeforeTheFirstWriteAndLeaveTheOutput()
{
    std::u16string value = u"untouched";
    QVERIFY(
        !m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"username", value, m_error));
    QCOMPARE(value, u"untouched");
    QVERIFY(!QFileInfo::exists(storeFile()));

    QVERIFY(
        m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"username", u"ann", m_error));
    QVERIFY(
        !m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"password", value, m_error));
    QCOMPARE(value, u"untouched");
    QVERIFY(m_error.empty());
}

void TestSettingsStore::firstWriteCreatesAPrivateStore()
{
    QVERIFY(m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"password", u"s3cret",
                                m_error));
    QVERIFY(QFileInfo(storeFile()).isFile());
    QCOMPARE(modeOf(storeFile()), mode_t(0600));
    QCOMPARE(modeOf(m_home.configFolder() + QStringLiteral("/Velmora")), mode_t(0700));

    std::u16string value;
    QVERIFY(
        m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"password", value, m_error));
    QCOMPARE(value, u"s3cret");
    QVERIFY(m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"password", u"", m_error));
    QVERIFY(
        m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"password", value, m_error));
    QCOMPARE(value, u"");
    QCOMPARE(modeOf(storeFile()), mode_t(0600));
}

void TestSettingsStore::writeNarrowsAWiderFileMode()
{
    QVERIFY(QDir().mkpath(m_home.configFolder() + QStringLiteral("/Velmora")));
    QFile file(storeFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nusername=old\n");
    file.close();
    QVERIFY(::chmod(QFile::encodeName(storeFile()).constData(), 0644) == 0);

    QVERIFY(
        m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"password", u"pw", m_error));
    QCOMPARE(modeOf(storeFile()), mode_t(0600));
    std::u16string value;
    QVERIFY(
        m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"username", value, m_error));
    QCOMPARE(value, u"old");
}

void TestSettingsStore::everyUtf16UnitComesBack()
{
    // The widened bytes of UTF-8 text land in 0xFF80..0xFFFF; keep every unit, not just those.
    std::u16string all;
    for (char32_t unit = 1; unit <= 0xFFFF; ++unit)
        all.push_back(static_cast<char16_t>(unit));
    QVERIFY(m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"all", all, m_error));
    std::u16string value;
    QVERIFY(m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"all", value, m_error));
    QCOMPARE(value.size(), all.size());
    QVERIFY(value == all);
}

void TestSettingsStore::textEndsAtTheFirstNul()
{
    const std::u16string withNul(u"before\0after", 12);
    QVERIFY(m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"cut", withNul, m_error));
    std::u16string value;
    QVERIFY(m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"cut", value, m_error));
    QCOMPARE(value, u"before");
}

void TestSettingsStore::valueOfAnotherTypeReadsAsMissing_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("number") << QByteArray("kind=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)");
    QTest::newRow("bytes") << QByteArray("kind=@ByteArray(abc)");
    QTest::newRow("list") << QByteArray("kind=one, two");
}

void TestSettingsStore::valueOfAnotherTypeReadsAsMissing()
{
    QFETCH(QByteArray, line);
    QVERIFY(m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"other", u"x", m_error));
    QFile file(storeFile());
    QVERIFY(file.open(QIODevice::Append));
    file.write(line + '\n');
    file.close();

    std::u16string value = u"kept";
    QVERIFY(!m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"kind", value, m_error));
    QCOMPARE(value, u"kept");
    QVERIFY(m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"other", value, m_error));
    QCOMPARE(value, u"x");
}

void TestSettingsStore::keyPathsOutsideTheConfigFolderAreRefused()
{
    for (const std::u16string& key :
         { std::u16string(u"Software\\..\\..\\escape"), std::u16string(u"Software"),
           std::u16string(u"Software\\a/b") }) {
        QVERIFY(!m_store.writeString(RegistryRoot::CurrentUser, key, u"v", u"x", m_error));
        std::u16string value;
        QVERIFY(!m_store.readString(RegistryRoot::CurrentUser, key, u"v", value, m_error));
    }
    QVERIFY(!QFileInfo::exists(m_home.path() + QStringLiteral("/escape.conf")));
}

void TestSettingsStore::interruptedWriteLeavesOldOrNewContent()
{
    constexpr int valueSize = 200000;
    for (int attempt = 0; attempt < 12; ++attempt) {
        QProcess writer;
        writer.start(
            QStringLiteral(VELMORA_STORE_WRITER),
            { QStringLiteral("Software\\Velmora\\VelmoraAuth"), QString::number(valueSize) });
        // A writer killed just as QSettings made its lock file leaves it empty, and QLockFile
        // only takes an empty lock over after 30 seconds.
        QVERIFY(writer.waitForReadyRead(45000));
        QTest::qWait(static_cast<int>(QRandomGenerator::global()->bounded(20, 200)));
        writer.kill();
        QVERIFY(writer.waitForFinished(5000));

        QSettings store(storeFile(), QSettings::IniFormat);
        QCOMPARE(store.status(), QSettings::NoError);
        for (const char* name : { "v1", "v2", "v3", "v4" }) {
            const QString value = store.value(QLatin1String(name)).toString();
            QCOMPARE(value.size(), valueSize);
            QVERIFY2(value.count(value.front()) == valueSize, "a value is whole");
        }
        QCOMPARE(modeOf(storeFile()), mode_t(0600));
    }
}

namespace {

// A machine key with one value, in FOLDER/Velmora/VelmoraAuth.conf.
void writeMachineKey(const QString& folder, const QString& address)
{
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/Velmora")));
    QFile file(folder + QStringLiteral("/Velmora/VelmoraAuth.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[General]\nkeep_fixedIP=" + address.toUtf8() + "\n");
}

} // namespace

void TestSettingsStore::machineKeyIsTheFirstSystemFolderHoldingIt()
{
    const QString first = m_home.path() + QStringLiteral("/xdg-first");
    const QString second = m_home.path() + QStringLiteral("/xdg-second");
    QDir(first).removeRecursively();
    QDir(second).removeRecursively();
    // A relative folder is skipped by the rules, even when it holds the key.
    writeMachineKey(QStringLiteral("relative-xdg"), QStringLiteral("127.0.0.1"));
    const auto dropRelative =
        qScopeGuard([] { QDir(QStringLiteral("relative-xdg")).removeRecursively(); });
    qputenv("XDG_CONFIG_DIRS", ("relative-xdg:" + first + "::" + second).toUtf8());

    std::u16string value = u"untouched";
    QVERIFY(!m_store.readString(RegistryRoot::LocalMachine, settingsKey, u"keep_fixedIP", value,
                                m_error));
    QCOMPARE(value, u"untouched");

    writeMachineKey(second, QStringLiteral("127.0.0.2"));
    QVERIFY(m_store.readString(RegistryRoot::LocalMachine, settingsKey, u"keep_fixedIP", value,
                               m_error));
    QCOMPARE(value, u"127.0.0.2");
    writeMachineKey(first, QStringLiteral("127.0.0.3"));
    QVERIFY(m_store.readString(RegistryRoot::LocalMachine, settingsKey, u"keep_fixedIP", value,
                               m_error));
    QCOMPARE(value, u"127.0.0.3");

    // The user's key is another file altogether.
    QVERIFY(!m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"keep_fixedIP", value,
                                m_error));
}

void TestSettingsStore::machineKeyIsNeverWritten()
{
    writeMachineKey(m_home.systemConfigFolder(), QStringLiteral("127.0.0.2"));
    QVERIFY(!m_store.writeString(RegistryRoot::LocalMachine, settingsKey, u"keep_fixedIP",
                                 u"127.0.0.9", m_error));
    QVERIFY(!m_store.writeString(RegistryRoot::LocalMachine, settingsKey, u"keep_fixedPort", u"80",
                                 m_error));
    std::u16string value;
    QVERIFY(m_store.readString(RegistryRoot::LocalMachine, settingsKey, u"keep_fixedIP", value,
                               m_error));
    QCOMPARE(value, u"127.0.0.2");
    QVERIFY(!m_store.readString(RegistryRoot::LocalMachine, settingsKey, u"keep_fixedPort", value,
                                m_error));
    QVERIFY(!QFileInfo::exists(storeFile()));
}

VELMORA_TEST_MAIN(TestSettingsStore)
#include "TestSettingsStore.moc"
