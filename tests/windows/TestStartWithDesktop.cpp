// Start with the desktop: the value under the user's Run key, in the real registry of the Wine
// prefix, read back with the Win32 calls themselves.

#include <doctest.h>

#include "app/StartWithDesktop.h"
#include "support/WinTestSupport.h"

#include <optional>
#include <string>

namespace {

const wchar_t* const runKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t* const valueName = L"Velmora Auth";

std::optional<std::pair<DWORD, std::wstring>> runValue()
{
    return wintest::registryText(runKey, valueName);
}

void deleteRunValue()
{
    HKEY key = nullptr;
    REQUIRE(RegOpenKeyExW(HKEY_CURRENT_USER, runKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS);
    RegDeleteValueW(key, valueName);
    RegCloseKey(key);
}

} // namespace

TEST_SUITE("start with the desktop")
{
    TEST_CASE("on writes the program's quoted path with the hidden start; off removes the value")
    {
        REQUIRE_MESSAGE(wintest::runningUnderWine(),
                        "changes what starts at logon: run only in the test's Wine prefix");
        REQUIRE(velmora::setStartWithDesktop(false));
        CHECK_FALSE(runValue());
        CHECK_FALSE(velmora::startsWithDesktop());

        REQUIRE(velmora::setStartWithDesktop(true));
        const auto value = runValue();
        REQUIRE(value);
        CHECK(value->first == REG_SZ);
        CHECK(wintest::ascii(value->second)
              == "\"" + wintest::ascii(wintest::selfPath()) + "\" --start-hidden");
        CHECK(velmora::startsWithDesktop());
        // Twice on is still one value.
        REQUIRE(velmora::setStartWithDesktop(true));
        CHECK(velmora::startsWithDesktop());

        REQUIRE(velmora::setStartWithDesktop(false));
        CHECK_FALSE(runValue());
        CHECK_FALSE(velmora::startsWithDesktop());
        // Off when it is off already is no failure.
        CHECK(velmora::setStartWithDesktop(false));

        // A value removed by hand reads as off.
        REQUIRE(velmora::setStartWithDesktop(true));
        deleteRunValue();
        CHECK_FALSE(velmora::startsWithDesktop());
    }
}
