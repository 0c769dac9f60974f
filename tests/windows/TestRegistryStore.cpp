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

void deleteTree(const wchar_t* path)
{
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, path);
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
            DWORD bytes)
{
    HKEY key = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, wide(path), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr)
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

struct Store
{
    RegistryStore store;
    std::string error;

    bool read(const std::u16string& path, const std::u16string& name, std::u16string& value)
    {
        return store.readString(RegistryRoot::CurrentUser, path, name, value, error);
    }
    bool write(const std::u16string& path, const std::u16string& name, const std::u16string& value)
    {
        return store.writeString(RegistryRoot::CurrentUser, path, name, value, error);
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
            std::u16string value = u"kept";
            CHECK_FALSE(store.read(testKey, name, value));
            CHECK(value == u"kept");
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

        std::u16string value = u"kept";
        CHECK_FALSE(store.read(programKey, u"keep_fixedIP", value));
        CHECK(value == u"kept");

        CHECK(store.write(programKey, u"keep_fixedIP", u"192.168.1.1"));
        CHECK(keyExists(programKey));
        // The key exists now: the next write opens it instead of creating it.
        CHECK(store.write(programKey, u"keep_fixedPort", u"8090"));
        CHECK(store.read(programKey, u"keep_fixedIP", value));
        CHECK(value == u"192.168.1.1");
        CHECK(store.read(programKey, u"keep_fixedPort", value));
        CHECK(value == u"8090");
        CHECK(rawValue(programKey, u"keep_fixedPort").type == DWORD(REG_SZ));

        // A missing value under an existing key is still a failed read.
        value = u"kept";
        CHECK_FALSE(store.read(programKey, u"keep_k1", value));
        CHECK(value == u"kept");
        deleteTree(programKeyParent);
    }

    TEST_CASE("a written string is stored with one closing NUL and reads back as written")
    {
        deleteTree(testRoot);
        Store store;
        std::u16string value;

        SUBCASE("plain text")
        {
            REQUIRE(store.write(testKey, u"username", u"demo"));
            CHECK(rawValue(testKey, u"username").data == bytesOf(std::u16string(u"demo\0", 5)));
            CHECK(store.read(testKey, u"username", value));
            CHECK(value == u"demo");
        }
        SUBCASE("the empty text replaces a value and reads as empty, successfully")
        {
            REQUIRE(store.write(testKey, u"keep_k1", u"abc"));
            REQUIRE(store.write(testKey, u"keep_k1", u""));
            const RawValue raw = rawValue(testKey, u"keep_k1");
            CHECK(raw.type == DWORD(REG_SZ));
            CHECK(raw.data == std::vector<unsigned char> { 0, 0 });
            value = u"kept";
            CHECK(store.read(testKey, u"keep_k1", value));
            CHECK(value.empty());
        }
        SUBCASE("a shorter text leaves nothing of the longer one it replaces")
        {
            REQUIRE(store.write(testKey, u"keep_fixedIP", u"192.168.100.254"));
            REQUIRE(store.write(testKey, u"keep_fixedIP", u"10.0.0.1"));
            CHECK(store.read(testKey, u"keep_fixedIP", value));
            CHECK(value == u"10.0.0.1");
        }
        SUBCASE("a long text")
        {
            std::u16string longText;
            for (int i = 0; i < 20000; ++i)
                longText.push_back(static_cast<char16_t>(u'a' + i % 26));
            REQUIRE(store.write(testKey, u"keep_k1", longText));
            CHECK(rawValue(testKey, u"keep_k1").data.size() == (longText.size() + 1) * 2);
            CHECK(store.read(testKey, u"keep_k1", value));
            CHECK(value == longText);
        }
        SUBCASE("values of one key are kept apart")
        {
            REQUIRE(store.write(testKey, u"username", u"alice"));
            REQUIRE(store.write(testKey, u"password", u"secret"));
            CHECK(store.read(testKey, u"username", value));
            CHECK(value == u"alice");
            CHECK(store.read(testKey, u"password", value));
            CHECK(value == u"secret");
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
        expected.push_back(0);
        expected.push_back(0);
        const RawValue raw = rawValue(testKey, u"password");
        CHECK(raw.type == DWORD(REG_SZ));
        CHECK(raw.data == expected);

        std::u16string value;
        REQUIRE(store.read(testKey, u"password", value));
        CHECK(velmora::lowBytes(value) == password);

        SUBCASE("every byte but NUL survives the round trip")
        {
            std::string allBytes;
            for (int byte = 1; byte < 256; ++byte)
                allBytes.push_back(static_cast<char>(byte));
            REQUIRE(store.write(testKey, u"password", velmora::widenBytes(allBytes)));
            REQUIRE(store.read(testKey, u"password", value));
            CHECK(velmora::lowBytes(value) == allBytes);
        }
    }

    TEST_CASE("data other than a whole, terminated REG_SZ")
    {
        deleteTree(testRoot);
        Store store;
        std::u16string value = u"kept";
        // "abcd" and the NUL after it, as the source of the raw writes below. The registry adds a
        // NUL to REG_SZ data that stops just before one, so each cut ends on a unit that is not
        // followed by a NUL, to keep the data as it is written.
        const wchar_t letters[] = L"abcd";

        SUBCASE("REG_DWORD reads as missing")
        {
            const DWORD number = 8090;
            setRaw(testKey, L"keep_fixedPort", REG_DWORD, &number, sizeof number);
            CHECK_FALSE(store.read(testKey, u"keep_fixedPort", value));
            CHECK(value == u"kept");
        }
        SUBCASE("REG_EXPAND_SZ and REG_BINARY read as missing")
        {
            setRaw(testKey, L"keep_k1", REG_EXPAND_SZ, letters, sizeof letters);
            setRaw(testKey, L"keep_userid", REG_BINARY, letters, sizeof letters);
            CHECK_FALSE(store.read(testKey, u"keep_k1", value));
            CHECK_FALSE(store.read(testKey, u"keep_userid", value));
            CHECK(value == u"kept");
        }
        SUBCASE("without a closing NUL it reads to the end of its data")
        {
            setRaw(testKey, L"keep_k1", REG_SZ, letters, 3 * sizeof(wchar_t));
            REQUIRE(rawValue(testKey, u"keep_k1").data.size() == 6);
            CHECK(store.read(testKey, u"keep_k1", value));
            CHECK(value == u"abc");
        }
        SUBCASE("an odd byte count drops the last byte")
        {
            setRaw(testKey, L"keep_k1", REG_SZ, letters, 5);
            REQUIRE(rawValue(testKey, u"keep_k1").data.size() == 5);
            CHECK(store.read(testKey, u"keep_k1", value));
            CHECK(value == u"ab");
        }
        SUBCASE("fewer than two bytes read as the empty text")
        {
            setRaw(testKey, L"keep_k1", REG_SZ, letters, 1);
            REQUIRE(rawValue(testKey, u"keep_k1").data.size() == 1);
            CHECK(store.read(testKey, u"keep_k1", value));
            CHECK(value.empty());
        }
        SUBCASE("no data at all reads as the empty text")
        {
            setRaw(testKey, L"keep_k1", REG_SZ, letters, 0);
            REQUIRE(rawValue(testKey, u"keep_k1").data.empty());
            CHECK(store.read(testKey, u"keep_k1", value));
            CHECK(value.empty());
        }
        SUBCASE("a NUL inside ends the text")
        {
            const wchar_t twoParts[] = L"ab\0cd";
            setRaw(testKey, L"keep_k1", REG_SZ, twoParts, sizeof twoParts);
            CHECK(store.read(testKey, u"keep_k1", value));
            CHECK(value == u"ab");
        }
        SUBCASE("a missing value under an existing key fails")
        {
            setRaw(testKey, L"other", REG_SZ, letters, sizeof letters);
            CHECK_FALSE(store.read(testKey, u"keep_k1", value));
            CHECK(value == u"kept");
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
        std::u16string value;
        CHECK(store.read(locked, u"username", value));
        CHECK(value == u"before");

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
        std::u16string value;
        CHECK(store.read(testKey, u"username", value));
        CHECK(value == u"ann again");
        CHECK(store.read(testKey, u"password", value));
        CHECK(value == u"secret");
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
        std::u16string value;
        CHECK(store.read(testKey, velmora::trustedIdentitiesValueName, value));
        CHECK(velmora::TrustedIdentities::fromText(velmora::lowBytes(value)) == identities);
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
            std::u16string value = u"kept";
            if (!reader.read(testKey, u"keep_k1", value))
                CHECK(value == u"kept");
            else if (value == shortText || value == longText)
                ++whole;
            else
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
        const LSTATUS cleared = RegDeleteTreeW(HKEY_LOCAL_MACHINE, testRoot);
        REQUIRE((cleared == ERROR_SUCCESS || cleared == ERROR_FILE_NOT_FOUND));
        HKEY key = nullptr;
        REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(testKey), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr)
                == ERROR_SUCCESS);
        const std::vector<unsigned char> address = bytesOf(std::u16string(u"127.0.0.5\0", 10));
        REQUIRE(RegSetValueExW(key, L"keep_fixedIP", 0, REG_SZ, address.data(),
                               static_cast<DWORD>(address.size()))
                == ERROR_SUCCESS);
        RegCloseKey(key);
        deleteTree(testRoot);

        RegistryStore store;
        std::string error;
        std::u16string value = u"kept";
        CHECK(store.readString(RegistryRoot::LocalMachine, testKey, u"keep_fixedIP", value, error));
        CHECK(value == u"127.0.0.5");
        // The user's root is another key altogether.
        value = u"kept";
        CHECK_FALSE(
            store.readString(RegistryRoot::CurrentUser, testKey, u"keep_fixedIP", value, error));
        CHECK(value == u"kept");

        // The program never writes there, though the prefix would let it.
        CHECK_FALSE(store.writeString(RegistryRoot::LocalMachine, testKey, u"keep_fixedPort", u"80",
                                      error));
        CHECK_FALSE(store.writeString(RegistryRoot::LocalMachine, testKey, u"keep_fixedIP",
                                      u"1.2.3.4", error));
        CHECK(store.readString(RegistryRoot::LocalMachine, testKey, u"keep_fixedIP", value, error));
        CHECK(value == u"127.0.0.5");
        CHECK_FALSE(
            store.readString(RegistryRoot::LocalMachine, testKey, u"keep_fixedPort", value, error));
        CHECK(RegDeleteTreeW(HKEY_LOCAL_MACHINE, testRoot) == ERROR_SUCCESS);
    }
}
