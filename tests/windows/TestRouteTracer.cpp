// runTracer through a real pipe, with stand-ins for tracert, and the gateways read from what it
// returns. The real trace is never run here.

#include <doctest.h>

#include "discovery/GatewayList.h"
#include "discovery/RouteTracer.h"
#include "support/WinTestSupport.h"
#include "TracertRecordings.h"

#include <string>
#include <vector>

namespace {

// A shell command that prints a file as it is, the way tracert prints its report.
std::string typeCommand(const wintest::TemporaryFile& file)
{
    return "type \"" + wintest::ascii(file.path()) + "\"";
}

// The gateways found in a tracer's output, one space between them, so a failure shows them.
std::string gatewaysOf(const std::string& tracerOutput)
{
    std::vector<std::string> gateways;
    velmora::collectGateways(tracerOutput, gateways);
    std::string joined;
    for (const std::string& gateway : gateways)
        joined += (joined.empty() ? "" : " ") + gateway;
    return joined;
}

} // namespace

TEST_SUITE("route tracer")
{
    TEST_CASE("the gateway trace is tracert for two hops towards 8.8.8.8, numeric, IPv4")
    {
        CHECK(std::string(velmora::gatewayTraceCommand) == "tracert -4 -d -h 2 -w 4 8.8.8.8");
    }

    TEST_CASE("the output comes back whole: long lines in order, the last one without line end")
    {
        // 300 characters that differ along the line, so pieces out of order or lost would show.
        std::string longLine;
        for (int i = 0; i < 300; ++i)
            longLine.push_back(static_cast<char>('0' + i % 10 + (i / 100) * 10));
        // Exactly one fgets buffer (127 characters and the line end), then exactly two.
        const std::string fullBuffer(126, 'a');
        const std::string twoBuffers(253, 'b');
        const std::string output = "\nTracing route to 8.8.8.8\n" + longLine + "\n" + fullBuffer
            + "\n" + twoBuffers + "\nlast line \x80\xFF without a line end";
        wintest::TemporaryFile file(output);

        const auto result = velmora::runTracer(typeCommand(file));
        REQUIRE(result.has_value());
        CHECK(result->size() == output.size());
        CHECK(*result == output);
    }

    TEST_CASE("recorded tracert reports give the hops that answered, nearest first")
    {
        std::string report;
        std::string hops;
        SUBCASE("both hops answer")
        {
            report = recorded::twoHopsAnswer;
            hops = "192.168.1.1 10.0.0.1";
        }
        SUBCASE("the first hop times out")
        {
            report = recorded::firstHopTimesOut;
            hops = "10.0.0.1";
        }
        SUBCASE("no hop answers: only the destination in the header matches")
        {
            report = recorded::noHopAnswers;
        }
        SUBCASE("no output at all")
        {
        }
        CAPTURE(report);
        wintest::TemporaryFile file(report);
        const auto output = velmora::runTracer(typeCommand(file));
        REQUIRE(output.has_value());
        CHECK(*output == recorded::asReadInTextMode(report));
        CHECK(gatewaysOf(*output) == hops);
    }

    TEST_CASE("the command's exit status is not looked at")
    {
        // This program as a stand-in that prints a report and then fails.
        const std::string command = "\"" + wintest::ascii(wintest::selfPath())
            + "\" --stand-in-tracer first-hop-times-out 3";
        const auto output = velmora::runTracer(command);
        REQUIRE(output.has_value());
        CHECK(*output == recorded::asReadInTextMode(recorded::firstHopTimesOut));
        CHECK(gatewaysOf(*output) == "10.0.0.1");
    }

    TEST_CASE("a command that cannot be started gives nothing and says so on stderr")
    {
        // _popen starts every command through the shell named by COMSPEC.
        wintest::ScopedEnvironment shell(L"COMSPEC", L"C:\\no-such-folder\\no-shell.exe");
        wintest::CapturedStandardError errors;
        const auto output = velmora::runTracer("type nothing");
        CHECK_FALSE(output.has_value());
        CHECK(errors.text() == "Failed to open pipe.\n");
    }
}
