// The automatic login's Windows side under Wine: its settings in the real registry of the
// prefix, and the watcher of the network and of resume with its hidden window.

#include <doctest.h>

#include "app/SystemEvents.h"
#include "settings/AutomaticLoginSettings.h"
#include "settings/RegistryStore.h"
#include "support/WinTestSupport.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

using velmora::SystemEvent;

std::optional<std::pair<DWORD, std::wstring>> settingsValue(const wchar_t* name)
{
    return wintest::registryText(L"Software\\Velmora\\VelmoraAuth", name);
}

// What the watcher told, from whichever thread told it.
struct Told
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<SystemEvent> events;

    velmora::SystemEvents::Handler handler()
    {
        return [this](SystemEvent event) {
            {
                std::lock_guard lock(mutex);
                events.push_back(event);
            }
            arrived.notify_all();
        };
    }
    std::size_t count(SystemEvent event)
    {
        std::lock_guard lock(mutex);
        return std::count(events.begin(), events.end(), event);
    }
    bool waitFor(SystemEvent event, std::size_t times)
    {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::size_t(std::count(events.begin(), events.end(), event)) >= times;
        });
    }
};

// What Windows does at a wake: the power broadcast to every top-level window. Returns once all
// have handled it.
void broadcastPower(WPARAM event)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_POWERBROADCAST, event, 0, SMTO_ABORTIFHUNG, 5000,
                        &result);
}

} // namespace

TEST_SUITE("automatic login")
{
    TEST_CASE("the option and its hold are strings of the settings key")
    {
        REQUIRE_MESSAGE(wintest::runningUnderWine(),
                        "writes the program's own key: run only in the test's Wine prefix");
        const RegistryStore store;
        CHECK_FALSE(velmora::automaticLoginIsOn(store)); // missing: off
        REQUIRE(velmora::setAutomaticLogin(store, true));
        CHECK(velmora::automaticLoginIsOn(store));
        auto value = settingsValue(L"auto_login");
        REQUIRE(value);
        CHECK(value->first == REG_SZ);
        CHECK(value->second == L"1");
        REQUIRE(velmora::setAutomaticLogin(store, false));
        CHECK(settingsValue(L"auto_login")->second == L"0");
        CHECK_FALSE(velmora::automaticLoginIsOn(store));

        REQUIRE(velmora::setAutomaticLoginHold(store, velmora::AutomaticLoginHold::userLoggedOut));
        CHECK(settingsValue(L"auto_login_held")->second == L"logout");
        CHECK(velmora::automaticLoginHold(store) == velmora::AutomaticLoginHold::userLoggedOut);
        REQUIRE(velmora::setAutomaticLoginHold(store, velmora::AutomaticLoginHold::none));
        CHECK(settingsValue(L"auto_login_held")->second == L"");
        CHECK(velmora::automaticLoginHold(store) == velmora::AutomaticLoginHold::none);
    }

    TEST_CASE("the hidden window hears the resume broadcast, once per wake, until the end")
    {
        Told told;
        {
            velmora::SystemEvents watcher(told.handler());
            CHECK(told.count(SystemEvent::noResumeEvents) == 0);
            broadcastPower(PBT_APMSUSPEND);
            broadcastPower(PBT_APMRESUMEAUTOMATIC);
            broadcastPower(PBT_APMRESUMESUSPEND); // the same wake, after a key press
            REQUIRE(told.waitFor(SystemEvent::resumed, 1));
            CHECK(told.count(SystemEvent::resumed) == 1);
            CHECK(FindWindowW(L"VelmoraAuthSystemEvents", nullptr) != nullptr);
        }
        // Gone with the watcher, and nothing told afterwards.
        CHECK(FindWindowW(L"VelmoraAuthSystemEvents", nullptr) == nullptr);
        broadcastPower(PBT_APMRESUMEAUTOMATIC);
        CHECK(told.count(SystemEvent::resumed) == 1);
    }

    TEST_CASE("the network notices are taken, and two watchers may live one after the other")
    {
        for (int round = 0; round < 2; ++round) {
            Told told;
            velmora::SystemEvents watcher(told.handler());
            CHECK(told.count(SystemEvent::noNetworkEvents) == 0);
            CHECK(told.count(SystemEvent::noResumeEvents) == 0);
            broadcastPower(PBT_APMRESUMEAUTOMATIC);
            CHECK(told.waitFor(SystemEvent::resumed, 1));
        }
    }
}
