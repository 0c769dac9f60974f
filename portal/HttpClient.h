#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmora {

struct HttpReply
{
    int status = 0;
    std::string body;
};

// The HTTP client proper (cpp-httplib, and through it the TLS library), behind a table of
// functions. On Linux it lives in a module of its own that is loaded at the first request: a
// window that waits for its user does not need the TLS library mapped and set up, which costs
// megabytes and milliseconds at every start.
struct HttpClientApi
{
    // A fresh client for one GET: HTTPS with certificate checks off, or plain HTTP, with the
    // 300-second connection, read and write time-outs. An empty user agent leaves the client's
    // own.
    void* (*create)(const std::string& host, std::int32_t port, bool https,
                    const std::string& userAgent);
    // Nothing when no answer came: refused, unreachable, TLS failure, time-out, or stopped.
    std::optional<HttpReply> (*get)(void* client, const std::string& path);
    // Cuts a request under way short; from any thread, while the client exists.
    void (*stop)(void* client);
    void (*destroy)(void* client);
};

// The client of this process, loaded on the first call and kept to the end; nothing when it
// cannot be loaded (with an error trace line, once).
const HttpClientApi* httpClientApi();

} // namespace velmora

// The one symbol of the client module.
extern "C" const velmora::HttpClientApi* velmoraHttpClientApi();
