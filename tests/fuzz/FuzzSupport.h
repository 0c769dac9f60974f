#pragma once

// What the fuzz targets share: how an input becomes a portal reply, and how a broken invariant is
// reported (an abort, so libFuzzer keeps the input that caused it).

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

inline bool containsAny(std::string_view text, std::initializer_list<std::string_view> parts)
{
    for (const std::string_view part : parts) {
        if (text.find(part) != std::string_view::npos)
            return true;
    }
    return false;
}

} // namespace fuzz
