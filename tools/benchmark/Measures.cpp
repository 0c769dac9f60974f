#include "Measures.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace velmora::bench {

namespace {

// The number after "Name:" on a line of its own, in kB.
std::optional<long long> kibValue(std::string_view text, std::string_view name)
{
    size_t at = 0;
    while ((at = text.find(name, at)) != std::string_view::npos) {
        const bool lineStart = at == 0 || text[at - 1] == '\n';
        const size_t after = at + name.size();
        if (lineStart && after < text.size() && text[after] == ':') {
            size_t digits = text.find_first_not_of(' ', after + 1);
            if (digits == std::string_view::npos)
                return std::nullopt;
            long long value = 0;
            const auto [end, error] =
                std::from_chars(text.data() + digits, text.data() + text.size(), value);
            if (error != std::errc() || end == text.data() + digits)
                return std::nullopt;
            return value;
        }
        at = after;
    }
    return std::nullopt;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string budgetText(const Budget& budget)
{
    switch (budget.kind) {
    case Budget::Kind::ratioAtMost:
        return "≤ " + fixed(budget.limit, 1) + "× floor";
    case Budget::Kind::valueBelow:
        return "< " + fixed(budget.limit, budget.limit < 1 ? 2 : 1);
    case Budget::Kind::none:
        break;
    }
    return "–";
}

std::string verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::pass:
        return "pass";
    case Verdict::fail:
        return "**FAIL**";
    case Verdict::notChecked:
        return "not checked";
    case Verdict::noBudget:
        break;
    }
    return "–";
}

} // namespace

std::optional<Summary> summarise(std::vector<double> samples)
{
    if (samples.empty())
        return std::nullopt;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    return Summary { median, samples.front(), samples.back(), n };
}

std::optional<MemoryUse> parseSmapsRollup(std::string_view text)
{
    const auto rss = kibValue(text, "Rss");
    const auto pss = kibValue(text, "Pss");
    if (!rss || !pss)
        return std::nullopt;
    return MemoryUse { *rss, *pss };
}

std::optional<int> listeningPort(std::string_view line)
{
    constexpr std::string_view prefix = "listening on ";
    if (!line.starts_with(prefix))
        return std::nullopt;
    const size_t colon = line.rfind(':');
    if (colon == std::string_view::npos || colon < prefix.size())
        return std::nullopt;
    int port = 0;
    const char* first = line.data() + colon + 1;
    const char* last = line.data() + line.size();
    const auto [end, error] = std::from_chars(first, last, port);
    if (error != std::errc() || end == first || end != last || port <= 0 || port > 65535)
        return std::nullopt;
    return port;
}

std::optional<ApplianceRequest> parseApplianceLine(std::string_view line)
{
    const size_t method = line.find(" GET ");
    const size_t arrow = line.rfind(" -> ");
    if (method == std::string_view::npos || arrow == std::string_view::npos || arrow < method)
        return std::nullopt;
    using Exchange = ApplianceRequest::Exchange;
    ApplianceRequest request;
    // The stand-in masks the password but keeps the path and the pageto parameter.
    const std::string_view target = line.substr(method + 5, arrow - method - 5);
    if (target == "/isvelmora.php")
        request.exchange = Exchange::probe;
    else if (target.starts_with("/index.php?pageto=c&"))
        request.exchange = Exchange::login;
    else if (target.starts_with("/index.php?pageto=ka&"))
        request.exchange = Exchange::keepAlive;
    else if (target.starts_with("/index.php?pageto=fbo&"))
        request.exchange = Exchange::logout;

    std::string_view outcome = line.substr(arrow + 4);
    if (const size_t blank = outcome.find(' '); blank != std::string_view::npos) {
        request.ownAnswer = false;
        outcome = outcome.substr(0, blank);
    }
    const auto [end, error] =
        std::from_chars(outcome.data(), outcome.data() + outcome.size(), request.status);
    if (error != std::errc() || end != outcome.data() + outcome.size())
        request.status = 0; // "no answer"
    return request;
}

bool isAnswered(const ApplianceRequest& request, ApplianceRequest::Exchange exchange)
{
    return request.exchange == exchange && request.status == 200 && request.ownAnswer;
}

std::optional<double> ratio(const Row& row)
{
    if (!row.program || !row.floor || row.floor->median == 0)
        return std::nullopt;
    return row.program->median / row.floor->median;
}

Verdict verdict(const Row& row, bool checkBudgets)
{
    if (row.budget.kind == Budget::Kind::none)
        return Verdict::noBudget;
    if (!checkBudgets)
        return Verdict::notChecked;
    if (row.budget.kind == Budget::Kind::ratioAtMost) {
        const auto r = ratio(row);
        return r && *r <= row.budget.limit ? Verdict::pass : Verdict::fail;
    }
    return row.program && row.program->median < row.budget.limit ? Verdict::pass : Verdict::fail;
}

std::string formatSummary(const std::optional<Summary>& summary, int decimals)
{
    if (!summary)
        return "–";
    if (summary->count == 1)
        return fixed(summary->median, decimals);
    return fixed(summary->median, decimals) + " [" + fixed(summary->min, decimals) + "–"
        + fixed(summary->max, decimals) + "]";
}

std::string renderTable(const std::vector<Row>& rows, bool checkBudgets)
{
    std::string table = "| Measure | velmora-auth: median [min–max] | Floor: median [min–max] | "
                        "Ratio | Budget | Result |\n"
                        "|---|---|---|---|---|---|\n";
    for (const Row& row : rows) {
        std::string floor = formatSummary(row.floor, row.decimals);
        if (!row.floorNote.empty())
            floor = row.floorNote + (row.floor ? ": " + floor : std::string());
        const auto r = ratio(row);
        table += "| " + row.measure + " | " + formatSummary(row.program, row.decimals) + " | "
            + floor + " | " + (r ? fixed(*r, 2) : std::string("–")) + " | " + budgetText(row.budget)
            + " | " + verdictText(verdict(row, checkBudgets)) + " |\n";
    }
    return table;
}

} // namespace velmora::bench
