#pragma once

#include "portal/HttpClient.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velmora {

// Every request of the program (portal exchanges and appliance probes) goes through here: each
// is one GET on a fresh client that is destroyed afterwards, with certificate checks off and the
// 300-second connection, read and write time-outs. A peer that answers "velmora" is trusted that
// far and no further: what an answer may cost is bounded here.
// - A body past maxBodyBytes is cut off as it arrives; an encoded answer is refused.
// - Each request is cut off at its deadline, however slowly its answer drips in.
// - The client library keeps whatever status line and headers it is sent, so the bytes received
//   on the connection are counted: up to the end of the head (TLS handshake included) headBytes,
//   for the whole request allBytes; past them the request is cut off.
// - The client library runs on a thread with a large stack: it matches the status line with a
//   regular expression that recurses once per character, and a line of some 26 KiB would
//   overflow an ordinary 8 MiB stack.
// A request cut off or refused ends as one that got no answer, with an error trace line that
// says why.
class HttpRequests
{
public:
    static constexpr std::size_t maxBodyBytes = 64 * 1024;
    static constexpr std::uint64_t headBytes = 32 * 1024;
    static constexpr std::uint64_t allBytes = 128 * 1024;
    static constexpr std::chrono::milliseconds defaultDeadline { std::chrono::seconds(300) };

    HttpRequests();
    ~HttpRequests();
    HttpRequests(const HttpRequests&) = delete;
    HttpRequests& operator=(const HttpRequests&) = delete;

    // The identity check of an HTTPS request (HttpClient.h says what an identity is).
    struct IdentityCheck
    {
        std::string expected; // the identity the appliance must show; empty: any
        std::string presented; // what its handshake showed; empty when it got not so far
        bool mismatch = false; // it showed another, and nothing was sent
    };

    // Nothing when no usable answer came: refused, unreachable, TLS failure, time-out, cut off
    // (at the deadline, for its size, or cancelled), refused for its encoding, an appliance that
    // did not show the identity expected, or a port outside 1 to 65535, which is never contacted.
    // An empty user agent leaves the client's own.
    std::optional<HttpReply> get(const std::string& host, std::int32_t port, bool https,
                                 const std::string& path, const std::string& userAgent = {},
                                 IdentityCheck* identity = nullptr);

    // From now on every request fails at once, and requests under way are cut off, whatever
    // they wait for (a connection, a handshake, an answer). Never waits.
    void cancelAll();

    // cancelAll() for every HttpRequests of the process: for the end of the program on a
    // termination signal, which comes while the threads that would cancel may all be blocked.
    static void cancelEverywhere();

    // For the tests: a deadline of seconds lets a dripping answer be cut off in a test's time.
    void setDeadline(std::chrono::milliseconds deadline);

private:
    struct Watch;
    struct Request;

    static void socketMade(void* request, std::intptr_t socket);
    static void headRead(void* request);

    // Shared with the watchdog thread and with cancelEverywhere().
    std::shared_ptr<Watch> m_watch;
};

// Starts loading the HTTP client on a thread of its own, unless it is loaded or loading already:
// the first request then finds it ready instead of waiting some milliseconds for it and its TLS
// library.
void loadHttpClientAhead();

} // namespace velmora
