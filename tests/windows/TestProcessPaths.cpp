// The log file's path from the Windows user name, and the program's own path.

#include <doctest.h>

#include "app/LogLocation.h"
#include "app/ProgramPath.h"
#include "settings/ByteText.h"
#include "support/WinTestSupport.h"

#include <string>

namespace {

const std::string logTail = "\\AppData\\Local\\Velmora\\logs\\app.log";

std::wstring accountName()
{
    wchar_t name[512] = {};
    DWORD size = 512;
    REQUIRE(GetUserNameW(name, &size));
    return name;
}

std::u16string units(const std::wstring& text)
{
    return std::u16string(text.begin(), text.end());
}

} // namespace

TEST_SUITE("process paths")
{
    TEST_CASE("the log path is the fixed profile folder of the account's name")
    {
        wintest::CapturedStandardError errors;
        const std::string path = velmora::logFilePath();
        CHECK(path == "C:\\Users\\" + velmora::lowBytes(units(accountName())) + logTail);
        CHECK(errors.text().empty());
    }

    // Wine takes the account's name from WINEUSERNAME, which lets these cases choose it.
    TEST_CASE("the log folder of a name beyond Latin-1 is made of low bytes")
    {
        REQUIRE_MESSAGE(wintest::runningUnderWine(), "chooses the user name through Wine");

        SUBCASE("each unit gives its low byte")
        {
            // U+0141 gives 'A' (0x41), U+00E9 stays 0xE9.
            wintest::ScopedEnvironment name(L"WINEUSERNAME", L"\u0141ukasz\u00E9");
            REQUIRE(accountName() == L"\u0141ukasz\u00E9");
            CHECK(velmora::logFilePath() == "C:\\Users\\Aukasz\xE9" + logTail);
        }
        SUBCASE("a low byte that cannot be in a folder name becomes '_'")
        {
            // U+AC00 gives NUL, which would end the path at "C:\Users\"; U+015C gives '\' and
            // U+4E3A ':'. U+00E9 keeps its byte.
            wintest::ScopedEnvironment name(L"WINEUSERNAME", L"\uAC00Kim\u015C\u4E3A\u00E9");
            const std::string path = velmora::logFilePath();
            CHECK(path == "C:\\Users\\_Kim__\xE9" + logTail);
        }
    }

    TEST_CASE("an unreadable user name logs to the default folder and says why on stderr")
    {
        REQUIRE_MESSAGE(wintest::runningUnderWine(), "takes the user name away through Wine");

        SUBCASE("no size can be learnt")
        {
            wintest::ScopedEnvironment name(L"WINEUSERNAME", nullptr);
            wintest::CapturedStandardError errors;
            CHECK(velmora::logFilePath() == "C:\\Users\\default" + logTail);
            const std::string text = errors.text();
            CHECK(text.find("Error getting username size: ") == 0);
            CHECK(text.find("\nError getting username: ") != std::string::npos);
        }
        SUBCASE("the name itself cannot be read")
        {
            wintest::ScopedEnvironment name(L"WINEUSERNAME", L"");
            wintest::CapturedStandardError errors;
            CHECK(velmora::logFilePath() == "C:\\Users\\default" + logTail);
            const std::string text = errors.text();
            CHECK(text.find("Error getting username size: ") == std::string::npos);
            CHECK(text.find("Error getting username: ") == 0);
        }
    }

    TEST_CASE("the executable path is this program's whole path")
    {
        const auto path = velmora::executablePath();
        REQUIRE(path.has_value());
        CHECK(*path == units(wintest::selfPath()));
        const std::string narrowed = velmora::lowBytes(*path);
        const std::string fileName = "\\" VELMORA_TEST_PROGRAM_NAME;
        REQUIRE(narrowed.size() > fileName.size());
        CHECK(narrowed.compare(narrowed.size() - fileName.size(), fileName.size(), fileName) == 0);
    }

    // Run by run-under-wine.sh from a copy of the program in a folder deeper than MAX_PATH, which
    // only the Unix side can start under Wine.
    TEST_CASE("the executable path from a folder deeper than MAX_PATH is not cut short"
              * doctest::skip())
    {
        const std::wstring whole = wintest::selfPath();
        REQUIRE_MESSAGE(whole.size() > MAX_PATH, "start this case from the deep copy");
        const auto path = velmora::executablePath();
        REQUIRE(path.has_value());
        CHECK(path->size() == whole.size());
        CHECK(*path == units(whole));
    }
}
