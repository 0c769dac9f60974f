// RegistryStore against the real registry of the Wine prefix.

#include <doctest.h>

#include "settings/ByteText.h"
#include "settings/RegistryStore.h"
#include "settings/TrustedIdentities.h"
#include "support/WinTestSupport.h"

#include <sddl.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// The program's own key: only ever wiped inside the test's Wine prefix.
const std::u16string programKey = u"Software\\Velmora\\VelmoraAuth";
const wchar_t* const programKeyParent = L"Software\\Velmora";
// The tests' own key, wiped before each case.
const wchar_t* const testRoot = L"Software\\VelmoraAuthTests";
const std::u16string testKey = u"Software\\VelmoraAuthTests\\WindowsLayer\\RegistryStore";

const wchar_t* wide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

void deleteTree(const wchar_t* path, HKEY root = HKEY_CURRENT_USER)
{
    const LSTATUS status = RegDeleteTreeW(root, path);
    REQUIRE((status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND));
}

bool keyExists(const std::u16string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(path), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Sets a value of any type and size with the Win32 call itself.
void setRaw(const std::u16string& path, const wchar_t* name, DWORD type, const void* data,
            DWORD bytes, HKEY root = HKEY_CURRENT_USER)
{
    HKEY key = nullptr;
    REQUIRE(RegCreateKeyExW(root, wide(path), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
            == ERROR_SUCCESS);
    const LSTATUS status =
        RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
    REQUIRE(status == ERROR_SUCCESS);
}

struct RawValue
{
    DWORD type = REG_NONE;
    std::vector<unsigned char> data;
};

RawValue rawValue(const std::u16string& path, const std::u16string& name)
{
    RawValue raw;
    HKEY key = nullptr;
    REQUIRE(RegOpenKeyExW(HKEY_CURRENT_USER, wide(path), 0, KEY_QUERY_VALUE, &key)
            == ERROR_SUCCESS);
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, wide(name), nullptr, &raw.type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        raw.data.resize(size);
        status = RegQueryValueExW(key, wide(name), nullptr, &raw.type, raw.data.data(), &size);
        raw.data.resize(size);
    }
    RegCloseKey(key);
    REQUIRE(status == ERROR_SUCCESS);
    return raw;
}

// The little-endian bytes of UTF-16 units.
std::vector<unsigned char> bytesOf(const std::u16string& units)
{
    std::vector<unsigned char> bytes;
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

const std::u16string missing = u"<missing>";

struct Store
{
    RegistryStore store;
    std::string error;

    // The value, or `missing`; a failed read must leave its output as it was.
    std::u16string read(const std::u16string& path, const std::u16string& name,
                        RegistryRoot root = RegistryRoot::CurrentUser)
    {
        std::u16string value = missing;
        const bool found = store.readString(root, path, name, value, error);
        CHECK_MESSAGE((found || value == missing), "a failed read changed its output");
        return found ? value : missing;
    }
    bool write(const std::u16string& path, const std::u16string& name, const std::u16string& value,
               RegistryRoot root = RegistryRoot::CurrentUser)
    {
        return store.writeString(root, path, name, value, error);
    }
};

const std::u16string settingNames[] = {
    u"username", u"password",     u"rememberme",     u"keep_userid",       u"keep_username",
    u"keep_k1",  u"keep_fixedIP", u"keep_fixedPort", u"keepAlive_isHttps",
};

} // namespace

TEST_SUITE("registry store")
{
    TEST_CASE("first run: with no key, every read fails and leaves the value as it was")
    {
        deleteTree(testRoot);
        Store store;
        for (const auto& name : settingNames) {
            CAPTURE(velmora::lowBytes(name));
            CHECK(store.read(testKey, name) == missing);
        }
        CHECK(store.error.empty());
    }

    TEST_CASE("the first write creates the program's settings key and its parents")
    {
        REQUIRE_MESSAGE(wintest::runningUnderWine(),
                        "wipes the program's settings: run only in the test's Wine prefix");
        deleteTree(programKeyParent);
        REQUIRE_FALSE(keyExists(u"Software\\Velmora"));
        Store store;
        CHECK(store.read(programKey, u"keep_fixedIP") == missing);

        CHECK(store.write(programKey, u"keep_fixedIP", u"192.168.1.1"));
        CHECK(keyExists(programKey));
        // The key exists now: the next write opens it instead of creating it.
        CHECK(store.write(programKey, u"keep_fixedPort", u"8090"));
        CHECK(store.read(programKey, u"keep_fixedIP") == u"192.168.1.1");
        CHECK(store.read(programKey, u"keep_fixedPort") == u"8090");
        CHECK(rawValue(programKey, u"keep_fixedPort").type == DWORD(REG_SZ));
        // A missing value under an existing key is still a failed read.
        CHECK(store.read(programKey, u"keep_k1") == missing);
        deleteTree(programKeyParent);
    }

    TEST_CASE("a written string is stored with one closing NUL and reads back as written")
    {
        deleteTree(testRoot);
        Store store;

        SUBCASE("plain text")
        {
            REQUIRE(store.write(testKey, u"username", u"demo"));
            CHECK(rawValue(testKey, u"username").data == bytesOf(std::u16string(u"demo\0", 5)));
            CHECK(store.read(testKey, u"username") == u"demo");
        }
        SUBCASE("the empty text replaces a value and reads as empty, successfully")
        {
            REQUIRE(store.write(testKey, u"keep_k1", u"abc"));
            REQUIRE(store.write(testKey, u"keep_k1", u""));
            const RawValue raw = rawValue(testKey, u"keep_k1");
            CHECK(raw.type == DWORD(REG_SZ));
            CHECK(raw.data == std::vector<unsigned char> { 0, 0 });
            CHECK(store.read(testKey, u"keep_k1") == u"");
        }
        SUBCASE("a shorter text leaves nothing of the longer one it replaces")
        {
            REQUIRE(store.write(testKey, u"keep_fixedIP", u"192.168.100.254"));
            REQUIRE(store.write(testKey, u"keep_fixedIP", u"10.0.0.1"));
            CHECK(store.read(testKey, u"keep_fixedIP") == u"10.0.0.1");
        }
        SUBCASE("a long text")
        {
            std::u16string longText;
            for (int i = 0; i < 20000; ++i)
                longText.push_back(static_cast<char16_t>(u'a' + i % 26));
            REQUIRE(store.write(testKey, u"keep_k1", longText));
            CHECK(rawValue(testKey, u"keep_k1").data.size() == (longText.size() + 1) * 2);
            CHECK(store.read(testKey, u"keep_k1") == longText);
        }
        CHECK(store.error.empty());
    }

    TEST_CASE("UTF-8 bytes widened to 0xFF80..0xFFFF are stored as those units and come back")
    {
        deleteTree(testRoot);
        Store store;
        // "Pässwörd€漢" in UTF-8.
        const std::string password = "P\xC3\xA4sstw\xC3\xB6rd\xE2\x82\xAC\xE6\xBC\xA2";
        REQUIRE(store.write(testKey, u"password", velmora::widenBytes(password)));

        // The units, worked out here byte by byte: ASCII as it is, any other byte b as 0xFF00 | b.
        std::vector<unsigned char> expected;
        for (const char byte : password) {
            const auto b = static_cast<unsigned char>(byte);
            expected.push_back(b);
            expected.push_back(b < 0x80 ? 0x00 : 0xFF);
        }
        expected.insert(expected.end(), { 0, 0 });
        const RawValue raw = rawValue(testKey, u"password");
        CHECK(raw.type == DWORD(REG_SZ));
        CHECK(raw.data == expected);
        CHECK(velmora::lowBytes(store.read(testKey, u"password")) == password);

        // Every byte but NUL survives the round trip.
        std::string allBytes;
        for (int byte = 1; byte < 256; ++byte)
            allBytes.push_back(static_cast<char>(byte));
        REQUIRE(store.write(testKey, u"password", velmora::widenBytes(allBytes)));
        CHECK(velmora::lowBytes(store.read(testKey, u"password")) == allBytes);
    }

    TEST_CASE("data other than a whole, terminated REG_SZ")
    {
        Store store;
        // "abcd" and the NUL after it, as the source of the raw writes below. The registry adds a
        // NUL to REG_SZ data that stops just before one, so each cut ends on a unit that is not
        // followed by a NUL, to keep the data as it is written.
        const wchar_t letters[] = L"abcd";
        const wchar_t twoParts[] = L"ab\0cd";
        const DWORD number = 8090;
        const struct
        {
            std::string what;
            DWORD type;
            const void* data;
            DWORD bytes;
            std::u16string read;
        } rows[] = {
            { "REG_DWORD reads as missing", REG_DWORD, &number, sizeof number, missing },
            { "REG_EXPAND_SZ reads as missing", REG_EXPAND_SZ, letters, sizeof letters, missing },
            { "REG_BINARY reads as missing", REG_BINARY, letters, sizeof letters, missing },
            { "without a closing NUL: to the end of the data", REG_SZ, letters, 6, u"abc" },
            { "an odd byte count drops the last byte", REG_SZ, letters, 5, u"ab" },
            { "fewer than two bytes read as the empty text", REG_SZ, letters, 1, u"" },
            { "no data at all reads as the empty text", REG_SZ, letters, 0, u"" },
            { "a NUL inside ends the text", REG_SZ, twoParts, sizeof twoParts, u"ab" },
        };
        for (const auto& row : rows) {
            CAPTURE(row.what);
            deleteTree(testRoot);
            setRaw(testKey, L"keep_k1", row.type, row.data, row.bytes);
            REQUIRE(rawValue(testKey, u"keep_k1").data.size() == row.bytes);
            CHECK(store.read(testKey, u"keep_k1") == row.read);
        }
    }

    TEST_CASE("a write that cannot open, create or set fails and changes nothing")
    {
        deleteTree(testRoot);
        Store store;
        const std::u16string locked = testKey + u"\\Locked";
        REQUIRE(store.write(locked, u"username", u"before"));

        // Everyone may read and delete the key, nobody may set values or add subkeys.
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;;KRSD;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
        HKEY key = nullptr;
        REQUIRE(RegOpenKeyExW(HKEY_CURRENT_USER, wide(locked), 0, WRITE_DAC, &key)
                == ERROR_SUCCESS);
        const LSTATUS secured = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
        LocalFree(descriptor);
        REQUIRE(secured == ERROR_SUCCESS);

        // The open fails with "access denied", which is not a reason to create the key.
        CHECK_FALSE(store.write(locked, u"username", u"after"));
        CHECK(store.read(locked, u"username") == u"before");

        // A missing key is to be created, but a volatile parent refuses a lasting child.
        const std::u16string volatileKey = testKey + u"\\Volatile";
        HKEY created = nullptr;
        REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, wide(volatileKey), 0, nullptr,
                                REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &created, nullptr)
                == ERROR_SUCCESS);
        RegCloseKey(created);
        CHECK_FALSE(store.write(volatileKey + u"\\Inner", u"username", u"after"));
        CHECK_FALSE(keyExists(volatileKey + u"\\Inner"));

        // A value name beyond the registry's limit fails at the set itself.
        CHECK_FALSE(store.write(testKey, std::u16string(20000, u'n'), u"after"));
        deleteTree(testRoot);
    }

    TEST_CASE("a group write sets its values one by one, in order, past a failed one")
    {
        deleteTree(testRoot);
        Store store;
        const std::vector<bool> stored = store.store.writeStrings(
            RegistryRoot::CurrentUser, testKey,
            { { u"username", u"ann" },
              { std::u16string(20000, u'n'), u"refused: the name is beyond the limit" },
              { u"password", u"secret" },
              { u"username", u"ann again" } },
            store.error);
        CHECK(stored == std::vector<bool> { true, false, true, true });
        CHECK(store.read(testKey, u"username") == u"ann again");
        CHECK(store.read(testKey, u"password") == u"secret");
        CHECK(rawValue(testKey, u"password").type == DWORD(REG_SZ));
        CHECK(store.error.empty());
        deleteTree(testRoot);
    }

    TEST_CASE("the appliances' identities are readable text that the blanked session leaves")
    {
        deleteTree(testRoot);
        Store store;
        velmora::TrustedIdentities identities;
        std::string key(32 * 3 - 1, 'A');
        for (std::size_t colon = 2; colon < key.size(); colon += 3)
            key[colon] = ':';
        identities.trust("10.0.0.1", 8090, key);
        identities.trust("10.0.0.2", 443, key);
        const std::u16string text = velmora::widenBytes(identities.text());
        // Saved in the group of the session values, as after a login.
        CHECK(store.store.writeStrings(RegistryRoot::CurrentUser, testKey,
                                       { { u"keep_k1", u"99" },
                                         { u"keep_fixedIP", u"10.0.0.1" },
                                         { velmora::trustedIdentitiesValueName, text } },
                                       store.error)
              == std::vector<bool> { true, true, true });
        const RawValue raw = rawValue(testKey, velmora::trustedIdentitiesValueName);
        CHECK(raw.type == DWORD(REG_SZ));
        CHECK(raw.data == bytesOf(text + u'\0'));

        // A logout blanks the session values only.
        CHECK(store.write(testKey, u"keep_k1", u""));
        CHECK(store.write(testKey, u"keep_fixedIP", u""));
        const std::u16string kept = store.read(testKey, velmora::trustedIdentitiesValueName);
        CHECK(velmora::TrustedIdentities::fromText(velmora::lowBytes(kept)) == identities);
        CHECK(identities.identity("10.0.0.2", 443) == key);
        deleteTree(testRoot);
    }

    TEST_CASE("reads racing writes of other lengths see one whole value or fail")
    {
        deleteTree(testRoot);
        Store setup;
        const std::u16string shortText = u"short";
        const std::u16string longText(3000, u'L');
        REQUIRE(setup.write(testKey, u"keep_k1", shortText));

        std::atomic<bool> stop = false;
        auto writer = [&](const std::u16string& text) {
            Store store;
            while (!stop)
                store.write(testKey, u"keep_k1", text);
        };
        std::thread shortWriter(writer, shortText);
        std::thread longWriter(writer, longText);

        Store reader;
        int whole = 0;
        int other = 0;
        for (int i = 0; i < 3000; ++i) {
            const std::u16string value = reader.read(testKey, u"keep_k1");
            if (value == shortText || value == longText)
                ++whole;
            else if (value != missing)
                ++other;
        }
        stop = true;
        shortWriter.join();
        longWriter.join();
        CHECK(other == 0);
        CHECK(whole > 0);
        deleteTree(testRoot);
    }

    TEST_CASE("the machine's key is read under HKEY_LOCAL_MACHINE and never written")
    {
        // An administrator's preset, set with the Win32 call itself in the Wine prefix.
        constexpr RegistryRoot machine = RegistryRoot::LocalMachine;
        deleteTree(testRoot, HKEY_LOCAL_MACHINE);
        const wchar_t address[] = L"127.0.0.5";
        setRaw(testKey, L"keep_fixedIP", REG_SZ, address, sizeof address, HKEY_LOCAL_MACHINE);
        deleteTree(testRoot);

        Store store;
        CHECK(store.read(testKey, u"keep_fixedIP", machine) == u"127.0.0.5");
        // The user's root is another key altogether.
        CHECK(store.read(testKey, u"keep_fixedIP") == missing);

        // The program never writes there, though the prefix would let it.
        CHECK_FALSE(store.write(testKey, u"keep_fixedPort", u"80", machine));
        CHECK_FALSE(store.write(testKey, u"keep_fixedIP", u"1.2.3.4", machine));
        CHECK(store.read(testKey, u"keep_fixedIP", machine) == u"127.0.0.5");
        CHECK(store.read(testKey, u"keep_fixedPort", machine) == missing);
        CHECK(RegDeleteTreeW(HKEY_LOCAL_MACHINE, testRoot) == ERROR_SUCCESS);
    }
}
