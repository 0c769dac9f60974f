#pragma once

// What the fuzz targets share: how an input becomes a portal reply, and how a broken invariant is
// reported (an abort, so libFuzzer keeps the input that caused it).

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line,
                              std::string_view detail)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n  with: %.*s\n", file, line, condition,
                 static_cast<int>(detail.size() > 2000 ? 2000 : detail.size()), detail.data());
    std::abort();
}

// FUZZ_CHECK(condition, text): text is printed beside the failure, so a report says on what.
#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::fuzz::fail(#condition, __FILE__, __LINE__, (detail));                                \
    } while (false)

// A reply as the portal client hands it over: no answer at all, or a status and a body. An input
// reads "STATUS\nBODY"; a first line that is not a decimal status stands for no answer, so the
// seeds stay readable ("200\n{...}").
struct Reply
{
    std::optional<int> status;
    std::string body;
};

inline Reply replyFrom(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    const std::string_view statusLine = input.substr(0, lineEnd);
    Reply reply;
    if (lineEnd != std::string_view::npos)
        reply.body = std::string(input.substr(lineEnd + 1));
    int status = 0;
    const char* end = statusLine.data() + statusLine.size();
    const auto [stop, error] = std::from_chars(statusLine.data(), end, status);
    if (!statusLine.empty() && statusLine.size() <= 9 && error == std::errc() && stop == end)
        reply.status = status;
    return reply;
}

// How every exchange sorts a reply before it reads the body: only a status-200 answer gets that
// far (login, keep-alive and logout alike).
enum class Route { NoAnswer, ConnectionError, Body };

inline Route routeOf(const Reply& reply)
{
    if (!reply.status)
        return Route::NoAnswer;
    return *reply.status == 200 ? Route::Body : Route::ConnectionError;
}

// Whether a reason ends the session, judged against messages as an appliance words them, not
// against the client's own list of texts: a typo in that list would be copied into a list here.
struct ApplianceMessage
{
    std::string_view text;
    bool endsSession;
};
inline constexpr ApplianceMessage applianceMessages[] = {
    { "You have been kicked out by the administrator", true },
    { "Your account is blocked by administrator", true },
    { "Your session was closed by the Daily Logout", true },
    { "Session Expired", false },
    { "You were kicked", false },
    { "Kicked Out by the administrator", false }, // the case is part of the text
    { "Blocked By policy", false },
    { "your daily logout time", false },
    { "Quota exhausted", false },
};

// `endsSession` on the fuzzed `text` (its verdict given as `ends`): the messages get their verdicts
// on their own; one that ends the session ends it inside the text too; and a text that ends the
// session still does with more around it.
template<typename Rule> void checkSessionEndRule(std::string_view text, bool ends, Rule endsSession)
{
    for (const ApplianceMessage& message : applianceMessages)
        FUZZ_CHECK(endsSession(message.text) == message.endsSession, std::string(message.text));
    const ApplianceMessage& message = applianceMessages[text.size() % std::size(applianceMessages)];
    const std::size_t cut = text.size() / 2;
    const std::string inside = std::string(text.substr(0, cut)) + std::string(message.text)
        + std::string(text.substr(cut));
    if (message.endsSession)
        FUZZ_CHECK(endsSession(inside), inside);
    if (ends)
        FUZZ_CHECK(endsSession(std::string(message.text) + std::string(text) + '.'),
                   std::string(text));
}

} // namespace fuzz
