#include "settings/RegistryStore.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    void machineKeyIsTheFirstSystemFolderHoldingIt();
    void machineKeyIsNeverWritten();
    void writtenTextIsTheTextQSettingsWrites_data();
    void writtenTextIsTheTextQSettingsWrites();
    void groupWriteLeavesEverythingElseAsItWas();
    void replacementOfTheSameSizeIsReadAtOnce();
    void storedValuesAreNotWrittenAgain();

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
    m_home.clearSettings();
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

void TestSettingsStore::writtenTextIsTheTextQSettingsWrites_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::newRow("plain") << "keep_fixedIP"
                           << "192.168.1.1";
    QTest::newRow("empty") << "keep_k1" << QString();
    QTest::newRow("list and comment marks") << "password"
                                            << "a,b;c=d";
    QTest::newRow("outer blanks") << "username"
                                  << " ann ";
    QTest::newRow("quotes and backslashes") << "username"
                                            << R"(say "hi" \ bye)";
    QTest::newRow("at sign") << "keep_username"
                             << "@Variant(1)";
    QTest::newRow("controls") << "password" << QStringLiteral("tab\tline\nbell\a\x01\x7f");
    QTest::newRow("hex digit after an escape")
        << "password" << QString::fromStdU16String({ u'\x01', u'a', u'\x1f', u'F', u'9', u'x' });
    QTest::newRow("widened UTF-8") << "password" << QString::fromStdU16String(u"p\xFFC3\xFFA4ss");
    QTest::newRow("NUL inside") << "cut"
                                << QString::fromStdU16String(std::u16string(u"a\0"
                                                                            "1b",
                                                                            4));
    QTest::newRow("name to escape") << QStringLiteral("a b.ü中") << "x";
}

// The file stays in QSettings' own format: a fresh file holds, byte for byte, what QSettings
// writes for the same value.
void TestSettingsStore::writtenTextIsTheTextQSettingsWrites()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    const QString reference = m_home.path() + QStringLiteral("/reference.conf");
    QFile::remove(reference);
    {
        QSettings settings(reference, QSettings::IniFormat);
        settings.setValue(name, value);
    }
    QVERIFY(m_store.writeString(RegistryRoot::CurrentUser, settingsKey, name.toStdU16String(),
                                value.toStdU16String(), m_error));
    QFile expected(reference);
    QFile written(storeFile());
    QVERIFY(expected.open(QIODevice::ReadOnly));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), expected.readAll());
}

void TestSettingsStore::groupWriteLeavesEverythingElseAsItWas()
{
    {
        QSettings settings(storeFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("keep_userid"), QStringLiteral("old"));
        settings.setValue(QStringLiteral("list"),
                          QStringList { QStringLiteral("a"), QStringLiteral("b") });
        settings.setValue(QStringLiteral("number"), 42);
        settings.setValue(QStringLiteral("bytes"), QByteArray("\x01\x02"));
        settings.setValue(QStringLiteral("Window/geometry"), QStringLiteral("keep me"));
    }
    // Hand-made lines QSettings' reader takes: a comment, a blank key padding, and a name that
    // is set twice, of which the reader keeps the last.
    QFile file(storeFile());
    QVERIFY(file.open(QIODevice::Append));
    file.write("; a comment\n[General]\nkeep_k1 = stale\nkeep_k1=staler\n");
    file.close();
    QSettings before(storeFile(), QSettings::IniFormat);
    const QStringList keysBefore = before.allKeys();

    const std::vector<bool> stored = m_store.writeStrings(
        RegistryRoot::CurrentUser, settingsKey,
        { { u"keep_userid", u"new" }, { u"keep_k1", u"99" }, { u"keep_fixedIP", u"10.0.0.1" } },
        m_error);
    QCOMPARE(stored, std::vector<bool>(3, true));

    QSettings after(storeFile(), QSettings::IniFormat);
    QCOMPARE(after.status(), QSettings::NoError);
    QCOMPARE(after.value(QStringLiteral("keep_userid")), QVariant(QStringLiteral("new")));
    QCOMPARE(after.value(QStringLiteral("keep_k1")), QVariant(QStringLiteral("99")));
    QCOMPARE(after.value(QStringLiteral("keep_fixedIP")), QVariant(QStringLiteral("10.0.0.1")));
    for (const QString& key : keysBefore) {
        if (!key.startsWith(QLatin1String("keep_")))
            QCOMPARE(after.value(key), before.value(key));
    }
    QCOMPARE(after.allKeys().size(), keysBefore.size() + 1);
    QFile text(storeFile());
    QVERIFY(text.open(QIODevice::ReadOnly));
    QVERIFY(text.readAll().contains("; a comment\n"));
    QCOMPARE(modeOf(storeFile()), mode_t(0600));
}

// QSettings parses a file again only when its size or modification time (to the millisecond)
// changed: a replacement of the same size within the same millisecond must still be read.
void TestSettingsStore::replacementOfTheSameSizeIsReadAtOnce()
{
    for (int round = 0; round < 200; ++round) {
        const std::u16string written = round % 2 ? u"aaaa" : u"bbbb";
        QVERIFY(m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"keep_k1", written,
                                    m_error));
        std::u16string value;
        QVERIFY(
            m_store.readString(RegistryRoot::CurrentUser, settingsKey, u"keep_k1", value, m_error));
        QCOMPARE(value, written);
    }
}

// Blanking credentials that are blank already, as every login without "Remember me" does,
// costs no replacement of the file and no disk sync; a wider mode is still narrowed.
void TestSettingsStore::storedValuesAreNotWrittenAgain()
{
    const std::vector<RegistryValue> blanks { { u"username", u"" }, { u"password", u"" } };
    QCOMPARE(m_store.writeStrings(RegistryRoot::CurrentUser, settingsKey, blanks, m_error),
             std::vector<bool>(2, true));
    const auto inode = [this] {
        struct stat info = {};
        ::stat(QFile::encodeName(storeFile()).constData(), &info);
        return info.st_ino;
    };
    const ino_t first = inode();
    QVERIFY(::chmod(QFile::encodeName(storeFile()).constData(), 0644) == 0);
    QCOMPARE(m_store.writeStrings(RegistryRoot::CurrentUser, settingsKey, blanks, m_error),
             std::vector<bool>(2, true));
    QCOMPARE(inode(), first);
    QCOMPARE(modeOf(storeFile()), mode_t(0600));

    QVERIFY(
        m_store.writeString(RegistryRoot::CurrentUser, settingsKey, u"password", u"x", m_error));
    QVERIFY(inode() != first);
}

VELMORA_TEST_MAIN(TestSettingsStore)
#include "TestSettingsStore.moc"
