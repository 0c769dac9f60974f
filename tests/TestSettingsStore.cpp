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
constexpr RegistryRoot user = RegistryRoot::CurrentUser;
constexpr RegistryRoot machine = RegistryRoot::LocalMachine;
const std::u16string missing = u"<missing>";

mode_t modeOf(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

void writeFile(const QString& path, const QByteArray& text,
               QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Truncate)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(mode));
    file.write(text);
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
    void cleanup();
    void readsFailBeforeTheFirstWrite();
    void firstWriteCreatesAPrivateStore();
    void everyUtf16UnitComesBackAndANulEndsTheText();
    void valueOfAnotherTypeReadsAsMissing_data();
    void valueOfAnotherTypeReadsAsMissing();
    void keyPathsOutsideTheConfigFolderAreRefused();
    void machineKeyIsTheFirstSystemFolderHoldingItAndNeverWritten();
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
    bool write(const std::u16string& name, const std::u16string& value)
    {
        return m_store.writeString(user, settingsKey, name, value, m_error);
    }
    // The value, or `missing`; a failed read that touched its output is caught in cleanup().
    std::u16string read(const std::u16string& name, RegistryRoot root = user)
    {
        std::u16string value = missing;
        const bool found = m_store.readString(root, settingsKey, name, value, m_error);
        m_failedReadChangedOutput |= !found && value != missing;
        return found ? value : missing;
    }

    IsolatedHome& m_home;
    RegistryStore m_store;
    std::string m_error;
    bool m_failedReadChangedOutput = false;
};

void TestSettingsStore::init()
{
    m_home.clearSettings();
    qputenv("XDG_CONFIG_DIRS", m_home.systemConfigFolder().toUtf8());
    m_failedReadChangedOutput = false;
}

void TestSettingsStore::cleanup()
{
    QVERIFY2(!m_failedReadChangedOutput, "a failed read changed the value it was given");
}

void TestSettingsStore::readsFailBeforeTheFirstWrite()
{
    QCOMPARE(read(u"username"), missing);
    QVERIFY(!QFileInfo::exists(storeFile()));
    QVERIFY(write(u"username", u"ann"));
    QCOMPARE(read(u"password"), missing);
    QVERIFY(m_error.empty());
}

void TestSettingsStore::firstWriteCreatesAPrivateStore()
{
    QVERIFY(write(u"password", u"s3cret"));
    QCOMPARE(modeOf(storeFile()), mode_t(0600));
    QCOMPARE(modeOf(m_home.configFolder() + QStringLiteral("/Velmora")), mode_t(0700));
    QCOMPARE(read(u"password"), u"s3cret");
    QVERIFY(write(u"password", u""));
    QCOMPARE(read(u"password"), u"");
    QCOMPARE(modeOf(storeFile()), mode_t(0600));
}

void TestSettingsStore::everyUtf16UnitComesBackAndANulEndsTheText()
{
    // The widened bytes of UTF-8 text land in 0xFF80..0xFFFF; keep every unit, not just those.
    std::u16string all;
    for (char32_t unit = 1; unit <= 0xFFFF; ++unit)
        all.push_back(static_cast<char16_t>(unit));
    QVERIFY(write(u"all", all));
    QVERIFY(read(u"all") == all);

    QVERIFY(write(u"cut", std::u16string(u"before\0after", 12)));
    QCOMPARE(read(u"cut"), u"before");
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
    QVERIFY(write(u"other", u"x"));
    writeFile(storeFile(), line + '\n', QIODevice::Append);
    QCOMPARE(read(u"kind"), missing);
    QCOMPARE(read(u"other"), u"x");
}

void TestSettingsStore::keyPathsOutsideTheConfigFolderAreRefused()
{
    for (const std::u16string& key :
         { std::u16string(u"Software\\..\\..\\escape"), std::u16string(u"Software"),
           std::u16string(u"Software\\a/b") }) {
        QVERIFY(!m_store.writeString(user, key, u"v", u"x", m_error));
        std::u16string value;
        QVERIFY(!m_store.readString(user, key, u"v", value, m_error));
    }
    QVERIFY(!QFileInfo::exists(m_home.path() + QStringLiteral("/escape.conf")));
}

void TestSettingsStore::machineKeyIsTheFirstSystemFolderHoldingItAndNeverWritten()
{
    const QString first = m_home.path() + QStringLiteral("/xdg-first");
    const QString second = m_home.path() + QStringLiteral("/xdg-second");
    QDir(first).removeRecursively();
    QDir(second).removeRecursively();
    const auto writeMachineKey = [](const QString& folder, const QByteArray& address) {
        writeFile(folder + QStringLiteral("/Velmora/VelmoraAuth.conf"),
                  "[General]\nkeep_fixedIP=" + address + "\n");
    };
    // A relative folder is skipped by the rules, even when it holds the key.
    writeMachineKey(QStringLiteral("relative-xdg"), "127.0.0.1");
    const auto dropRelative =
        qScopeGuard([] { QDir(QStringLiteral("relative-xdg")).removeRecursively(); });
    qputenv("XDG_CONFIG_DIRS", ("relative-xdg:" + first + "::" + second).toUtf8());

    QCOMPARE(read(u"keep_fixedIP", machine), missing);
    writeMachineKey(second, "127.0.0.2");
    QCOMPARE(read(u"keep_fixedIP", machine), u"127.0.0.2");
    writeMachineKey(first, "127.0.0.3");
    QCOMPARE(read(u"keep_fixedIP", machine), u"127.0.0.3");
    // The user's key is another file altogether.
    QCOMPARE(read(u"keep_fixedIP"), missing);

    QVERIFY(!m_store.writeString(machine, settingsKey, u"keep_fixedIP", u"127.0.0.9", m_error));
    QVERIFY(!m_store.writeString(machine, settingsKey, u"keep_fixedPort", u"80", m_error));
    QCOMPARE(read(u"keep_fixedIP", machine), u"127.0.0.3");
    QCOMPARE(read(u"keep_fixedPort", machine), missing);
    QVERIFY(!QFileInfo::exists(storeFile()));
}

void TestSettingsStore::writtenTextIsTheTextQSettingsWrites_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    const auto row = [](const char* title, const QString& name, const QString& value) {
        QTest::newRow(title) << name << value;
    };
    row("plain", "keep_fixedIP", "192.168.1.1");
    row("empty", "keep_k1", QString());
    row("list and comment marks", "password", "a,b;c=d");
    row("outer blanks", "username", " ann ");
    row("quotes and backslashes", "username", R"(say "hi" \ bye)");
    row("at sign", "keep_username", "@Variant(1)");
    row("controls", "password", QStringLiteral("tab\tline\nbell\a\x01\x7f"));
    row("hex digit after an escape", "password",
        QString::fromStdU16String({ u'\x01', u'a', u'\x1f', u'F', u'9', u'x' }));
    row("widened UTF-8", "password", QString::fromStdU16String(u"p\xFFC3\xFFA4ss"));
    row("NUL inside", "cut", QString::fromStdU16String(std::u16string(u"a\0001b", 4)));
    row("name to escape", QStringLiteral("a b.ü中"), "x");
}

// The file stays in QSettings' own format: a fresh file holds, byte for byte, what QSettings
// writes for the same value.
void TestSettingsStore::writtenTextIsTheTextQSettingsWrites()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    const QString reference = m_home.path() + QStringLiteral("/reference.conf");
    QFile::remove(reference);
    QSettings(reference, QSettings::IniFormat).setValue(name, value);
    QVERIFY(write(name.toStdU16String(), value.toStdU16String()));
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
    writeFile(storeFile(), "; a comment\n[General]\nkeep_k1 = stale\nkeep_k1=staler\n",
              QIODevice::Append);
    QVERIFY(::chmod(QFile::encodeName(storeFile()).constData(), 0644) == 0); // to be narrowed
    QSettings before(storeFile(), QSettings::IniFormat);
    const QStringList keysBefore = before.allKeys();

    QCOMPARE(
        m_store.writeStrings(
            user, settingsKey,
            { { u"keep_userid", u"new" }, { u"keep_k1", u"99" }, { u"keep_fixedIP", u"10.0.0.1" } },
            m_error),
        std::vector<bool>(3, true));

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
        QVERIFY(write(u"keep_k1", written));
        QCOMPARE(read(u"keep_k1"), written);
    }
}

// Blanking credentials that are blank already, as every login without "Remember me" does,
// costs no replacement of the file and no disk sync; a wider mode is still narrowed.
void TestSettingsStore::storedValuesAreNotWrittenAgain()
{
    const std::vector<RegistryValue> blanks { { u"username", u"" }, { u"password", u"" } };
    QCOMPARE(m_store.writeStrings(user, settingsKey, blanks, m_error), std::vector<bool>(2, true));
    const auto inode = [this] {
        struct stat info = {};
        ::stat(QFile::encodeName(storeFile()).constData(), &info);
        return info.st_ino;
    };
    const ino_t first = inode();
    QVERIFY(::chmod(QFile::encodeName(storeFile()).constData(), 0644) == 0);
    QCOMPARE(m_store.writeStrings(user, settingsKey, blanks, m_error), std::vector<bool>(2, true));
    QCOMPARE(inode(), first);
    QCOMPARE(modeOf(storeFile()), mode_t(0600));

    QVERIFY(write(u"password", u"x"));
    QVERIFY(inode() != first);
}

VELMORA_TEST_MAIN(TestSettingsStore)
#include "TestSettingsStore.moc"
