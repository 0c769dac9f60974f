// SingleInstanceLock with real named mutexes, seen from a second process.

#include <doctest.h>

#include "app/SingleInstance.h"
#include "support/WinTestSupport.h"

#include <string>

namespace {

using velmora::SingleInstanceLock;
using Result = SingleInstanceLock::Result;

// Shaped like the program's own name, but unique to this run.
std::string instanceName(const char* tag)
{
    return std::string("Velmora Auth ") + tag + " " + std::to_string(GetCurrentProcessId())
        + ".exe";
}

// Exit codes of the helper modes: 20 + the result.
constexpr DWORD acquiredInChild = 20;
constexpr DWORD alreadyHeldInChild = 21;

DWORD probeFromAnotherProcess(const std::string& name)
{
    return wintest::runSelf({ "--probe-instance", name }).exitCode;
}

// Exit codes of a later start that asks the holder to show its window.
constexpr DWORD holderAnswered = 30;
constexpr DWORD holderSilent = 31;

DWORD laterStart(const std::string& name)
{
    return wintest::runSelf({ "--ask-holder", name }).exitCode;
}

} // namespace

TEST_SUITE("single instance")
{
    TEST_CASE("a lock held here keeps other processes out until its holder releases it")
    {
        const std::string name = instanceName("held");
        {
            SingleInstanceLock lock(name);
            REQUIRE(lock.acquire() == Result::Acquired);
            CHECK(probeFromAnotherProcess(name) == alreadyHeldInChild);
            // The refused copy took nothing with it: still held here.
            CHECK(probeFromAnotherProcess(name) == alreadyHeldInChild);
        }
        CHECK(probeFromAnotherProcess(name) == acquiredInChild);
        // And the copy that got it released it when it ended.
        CHECK(probeFromAnotherProcess(name) == acquiredInChild);
    }

    TEST_CASE("different names do not block each other")
    {
        const std::string first = instanceName("first");
        const std::string second = instanceName("second");
        SingleInstanceLock firstLock(first);
        SingleInstanceLock secondLock(second);
        REQUIRE(firstLock.acquire() == Result::Acquired);
        CHECK(secondLock.acquire() == Result::Acquired);
        CHECK(probeFromAnotherProcess(instanceName("third")) == acquiredInChild);
        CHECK(probeFromAnotherProcess(first) == alreadyHeldInChild);
        CHECK(probeFromAnotherProcess(second) == alreadyHeldInChild);
    }

    TEST_CASE("a copy held by another process is seen here, and its end frees the name")
    {
        const std::string name = instanceName("other");

        SUBCASE("the holder is killed")
        {
            wintest::Child holder({ "--hold-instance", name });
            REQUIRE(holder.readLine() == "Acquired");
            {
                SingleInstanceLock lock(name);
                CHECK(lock.acquire() == Result::AlreadyHeld);
            }
            // Our refused lock kept nothing open, so the holder's end is what counts.
            holder.kill();
            SingleInstanceLock lock(name);
            CHECK(lock.acquire() == Result::Acquired);
        }
        SUBCASE("the holder ends normally")
        {
            wintest::Child holder({ "--hold-instance", name });
            REQUIRE(holder.readLine() == "Acquired");
            CHECK(probeFromAnotherProcess(name) == alreadyHeldInChild);
            // A later start learns that this holder does not listen.
            CHECK(laterStart(name) == holderSilent);
            holder.closeInput();
            CHECK(holder.wait() == acquiredInChild);
            CHECK(probeFromAnotherProcess(name) == acquiredInChild);
        }
    }

    TEST_CASE("a name that cannot be made into a mutex gives Unavailable")
    {
        SUBCASE("another kind of object has the name")
        {
            const std::string name = instanceName("event");
            const std::wstring wideName(name.begin(), name.end());
            const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, wideName.c_str());
            REQUIRE(event);
            SingleInstanceLock lock(name);
            CHECK(lock.acquire() == Result::Unavailable);
            CloseHandle(event);
        }
        SUBCASE("the name holds a folder that does not exist")
        {
            SingleInstanceLock lock("NoSuchFolder\\" + instanceName("nested"));
            CHECK(lock.acquire() == Result::Unavailable);
        }
    }

    TEST_CASE("each later start has the holder show its window, and the holder still ends at once")
    {
        const std::string name = instanceName("shown");
        wintest::Child holder({ "--hold-and-listen", name });
        REQUIRE(holder.readLine() == "Acquired");
        REQUIRE(holder.readLine() == "Listening");
        for (int start = 0; start < 3; ++start) {
            CHECK(laterStart(name) == holderAnswered);
            CHECK(holder.readLine() == "Shown");
        }
        // Its listener waits for the next start: the end of the lock wakes it.
        holder.closeInput();
        CHECK(holder.wait() == acquiredInChild);
        CHECK(laterStart(name) == 32);
    }
}
