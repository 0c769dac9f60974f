#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

enum class Scheme { http, https };

// Where one listener serves. Port 0 lets the system pick a free port; the bound port is
// reported back by StandInAppliance::listeners().
struct ListenAddress
{
    std::string address {};
    std::uint16_t port = 0;
    Scheme scheme = Scheme::http;
};

// "ADDRESS:PORT[:http|https]". Without a scheme, port 80 is http and every other port https,
// the way the client picks. Throws std::invalid_argument, also for an address outside 127/8.
ListenAddress parseListenAddress(std::string_view text);
bool isLoopbackAddress(std::string_view address);
std::string toUrl(const ListenAddress& where);

// The portal exchanges a request can belong to. `other` is every request that is none of the
// four (unknown paths, unknown pageto); a rule for `any` applies to every request.
enum class Exchange { any, probe, login, keepAlive, logout, other };

// An answer as it goes on the wire. A 3xx answer without a location gets a default one, so
// that every redirect carries a Location header.
struct Answer
{
    int status = 200;
    std::string body {};
    std::string contentType = "text/plain; charset=utf-8";
    std::chrono::milliseconds delay { 0 };
    std::string location {};
};

// How many matching requests a rule applies to before it lapses.
struct Times
{
    static Times once() { return Times { 1 }; }
    static Times n(int count) { return Times { count }; }
    static Times untilCleared() { return Times { -1 }; }

    int count = 1; // -1: until clearScripts()
};

// The next matching request(s) get `answer` instead of the stand-in's own answer.
struct AnswerRule
{
    Exchange exchange = Exchange::any;
    Answer answer {};
    Times times = Times::once();
    std::optional<std::size_t> listener {}; // index into Options::listeners; empty: every listener
};

enum class Fault {
    resetMidAnswer, // the head and half of the usual body, then a TCP reset
    truncatedBody, // the usual answer with a Content-Length 100 bytes too large, then a close
    hugeBody, // status 200 with a body of hugeBodySize bytes of 'x'
    slowAnswer, // the usual answer after `delay`
    failedHandshake, // takes the connection, answers bytes that are neither TLS nor HTTP, closes
    // The hostile appliance: answers built to cost the client memory, time or its log.
    dripFed, // the usual answer, its body one byte per `delay`
    endlessChunked, // status 200, chunked, chunks of 'x' without end
    compressed, // the usual answer gzip-compressed, with "Content-Encoding: `encoding`"
    echo, // status 200, the request target as the refusal's "errors" (login, keep-alive) or as
          // the whole body (probe, logout, other)
    endlessHeaders, // status 200, then header lines without end
    longStatusLine, // the usual answer with a reason phrase of `size` bytes (up to 4 MiB at once)
};

inline constexpr std::size_t hugeBodySize = 10 * 1024 * 1024;

// Rules for failedHandshake act on the connection before any request is read, so they accept
// only Exchange::any.
struct FaultRule
{
    Fault fault = Fault::resetMidAnswer;
    Exchange exchange = Exchange::any;
    Times times = Times::once();
    std::optional<std::size_t> listener {}; // index into Options::listeners; empty: every listener
    std::chrono::milliseconds delay { 3000 }; // slowAnswer; dripFed: between two bytes
    std::size_t size = 30000; // longStatusLine: bytes of the reason phrase
    std::string encoding = "gzip"; // compressed: the value of its Content-Encoding header
};

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// The last value given for `name`, as the portal script reads a repeated parameter.
std::optional<std::string> lastValue(const QueryParams& params, std::string_view name);

// One request as received: logged before it is answered, so a test can wait for it while a
// slow answer is still pending.
struct LoggedRequest
{
    std::size_t listenerIndex = 0;
    ListenAddress listener {};
    std::string method {}; // empty for a failed handshake or an unreadable request
    std::string target {}; // exactly as on the wire, before percent-decoding
    std::string head {}; // the request line and header lines as received, without the blank line
    std::string path {}; // decoded
    QueryParams query {}; // decoded ('+' as space, as the portal script reads it), in order
    std::string userAgent {};
    std::optional<std::string> acceptEncoding {}; // empty: the header was not sent
    std::string remoteAddress {};
    // "answered" (the stand-in's own answer), "scripted", a fault ("reset", "truncated",
    // "huge", "slow", "failed-handshake", "drip", "endless-chunked", "compressed", "echo",
    // "endless-headers", "long-status-line"), "unreadable" (not a request; answered 400) or
    // "handshake-only" (the client ended the TLS handshake, or the connection, before a request).
    std::string treatment {};

    std::optional<std::string> param(std::string_view name) const { return lastValue(query, name); }
};

enum class SessionState { live, kickedOut, blocked, dailyLogout };

struct SessionInfo
{
    long long userid = 0;
    std::string username {};
    long long k1 = 0;
    std::string remoteAddress {};
    SessionState state = SessionState::live;
    bool expired = false; // not kept alive within the session lifetime
};

enum class SessionsOnStop { keep, lose };

struct Account
{
    std::string user {};
    std::string password {};
    bool blocked = false;
};

struct Options
{
    std::vector<ListenAddress> listeners {};
    std::vector<Account> accounts {};
    std::chrono::milliseconds sessionLifetime { 60000 };
    std::optional<ListenAddress> control {}; // plain HTTP test controls, for use out of process
    // PEM files; both empty: a self-signed certificate made at start.
    std::string certificateFile {};
    std::string keyFile {};
    // Called on a connection thread after each request was answered; status is the status
    // line sent (0 when none was). It must not stop or start the listeners: a stop waits for
    // the very thread it runs on.
    std::function<void(const LoggedRequest&, int status)> onAnswered {};
};

} // namespace standin
