#pragma once

#include "portal/HttpClient.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velmora {

// Every request of the program (portal exchanges and appliance probes) goes through here: each
// is one GET on a fresh client that is destroyed afterwards, with certificate checks off. A peer
// that answers "velmora" is trusted that far and no further: the client library holds what an
// answer may cost to maxBodyBytes of body and headBytes of status line and headers, refuses an
// encoded answer, and ends each request at its deadline however slowly its answer drips in.
// A request cut off or refused ends as one that got no answer, with an error trace line that
// says why.
class HttpEngine
{
public:
    static constexpr std::size_t maxBodyBytes = 64 * 1024;
    static constexpr std::size_t headBytes = 32 * 1024;
    static constexpr std::chrono::milliseconds defaultDeadline { std::chrono::seconds(300) };

    HttpEngine();
    ~HttpEngine();
    HttpEngine(const HttpEngine&) = delete;
    HttpEngine& operator=(const HttpEngine&) = delete;

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

    // cancelAll() for every HttpEngine of the process: for the end of the program on a
    // termination signal, which comes while the threads that would cancel may all be blocked.
    static void cancelEverywhere();

    // For the tests: a deadline of seconds lets a dripping answer be cut off in a test's time.
    void setDeadline(std::chrono::milliseconds deadline);

private:
    struct Requests;

    // Shared with cancelEverywhere().
    std::shared_ptr<Requests> m_requests;
};

// Starts loading the HTTP client on a thread of its own, unless it is loaded or loading already:
// the first request then finds it ready instead of waiting some milliseconds for it and its TLS
// library.
void loadHttpClientAhead();

} // namespace velmora
