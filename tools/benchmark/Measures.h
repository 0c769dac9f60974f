#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the benchmark computes from its raw samples, apart from any process or display: the
// summary of a series, the figures read from /proc, the stand-in's output lines, and the table
// with its budgets.
namespace velmora::bench {

struct Summary
{
    double median = 0;
    double min = 0;
    double max = 0;
    std::size_t count = 0;
};

// Nothing for an empty series. The median of an even count is the mean of the middle two.
std::optional<Summary> summarise(std::vector<double> samples);

struct MemoryUse
{
    long long rssKiB = 0;
    long long pssKiB = 0;
};

// The Rss and Pss lines of /proc/PID/smaps_rollup; nothing when either is missing.
std::optional<MemoryUse> parseSmapsRollup(std::string_view text);

// The port of a "listening on https://127.0.0.1:PORT" line of velmora-appliance.
std::optional<int> listeningPort(std::string_view line);

// A request as velmora-appliance reports it on its output, one line each:
// "URL REMOTE GET TARGET -> STATUS", with " (TREATMENT)" after a scripted or faulty answer.
struct ApplianceRequest
{
    enum class Exchange { probe, login, keepAlive, logout, other };
    Exchange exchange = Exchange::other;
    int status = 0; // 0: no answer
    bool ownAnswer = true; // neither scripted nor a fault
};

// Nothing for a line that reports no request (the listening lines, the stop line).
std::optional<ApplianceRequest> parseApplianceLine(std::string_view line);

// A request the stand-in answered itself with 200: what a working exchange looks like.
bool isAnswered(const ApplianceRequest& request, ApplianceRequest::Exchange exchange);

// A budget compares the program with its floor (ratio of the medians at most the limit) or
// the program's median with a limit of its own (strictly below).
struct Budget
{
    enum class Kind { none, ratioAtMost, valueBelow };
    Kind kind = Kind::none;
    double limit = 0;
};

struct Row
{
    std::string measure;
    int decimals = 0;
    std::optional<Summary> program;
    std::optional<Summary> floor;
    std::string floorNote; // what the floor is, where it is not the floor program
    Budget budget;
};

enum class Verdict { pass, fail, notChecked, noBudget };

// The program's median over the floor's; nothing without both, or with a floor of zero.
std::optional<double> ratio(const Row& row);

// A row whose budget cannot be evaluated (a median missing) fails: the benchmark did not show
// that the program meets it.
Verdict verdict(const Row& row, bool checkBudgets);

// "12.3 [11.0–14.2]" with the row's decimals.
std::string formatSummary(const std::optional<Summary>& summary, int decimals);

// One Markdown table: measure, program, floor, ratio, budget, result.
std::string renderTable(const std::vector<Row>& rows, bool checkBudgets);

} // namespace velmora::bench
