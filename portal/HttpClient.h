#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

struct HttpReply
{
    int status = 0;
    std::string body;
};

// An appliance's identity is the SHA-256 fingerprint of its public key (the DER form of its
// certificate's SubjectPublicKeyInfo), as 32 upper-case hex pairs joined by colons. The key, not
// the certificate: a self-signed certificate renewed with the same key keeps its identity.

// How one GET through the client ended.
enum class HttpEnd {
    answered, // a whole answer came (any status)
    noAnswer, // refused, unreachable, TLS failure, an answer that broke off or made no sense
    timedOut, // no whole answer within the deadline
    cancelled, // cut off by cancel()
    headTooLarge, // the status line and headers passed maxHeadBytes
    tooLarge, // the body passed maxBodyBytes, or its announced length did
    encoded, // refused: the answer came with a content coding, which the client never asks for
    identityMismatch, // HTTPS: the appliance's key is not the expected one; nothing was sent
};

struct HttpResult
{
    HttpEnd end = HttpEnd::noAnswer;
    HttpReply reply; // when answered
    std::string encoding; // when encoded: the Content-Encoding it came with
    // HTTPS: the fingerprint of the key the appliance presented in the handshake, whatever the
    // outcome (empty when the handshake did not get that far).
    std::string presentedIdentity;
};

// What a client is made with.
struct HttpClientOptions
{
    std::string host;
    std::int32_t port = 0;
    bool https = true;
    std::string userAgent; // empty: the one the client always sent
    std::size_t maxBodyBytes = 0;
    std::size_t maxHeadBytes = 0; // the status line and every header line, line ends included
    std::chrono::milliseconds deadline { 0 }; // for the whole request, connection included
    // HTTPS: the fingerprint that the appliance's key must have, checked in the TLS handshake
    // before anything is sent; empty: any key.
    std::string expectedIdentity;
};

// The HTTP client proper (libcurl, and through it the TLS library), behind a table of functions.
// On Linux it lives in a module of its own that is loaded at the first request: a window that
// waits for its user does not need the TLS library mapped and set up, which costs megabytes and
// milliseconds at every start.
struct HttpClientApi
{
    // A fresh client for one GET: HTTPS with certificate checks off (but the key checked against
    // expectedIdentity), or plain HTTP; no proxy, no redirect, no compression, no connection
    // kept. Nothing is sent before get().
    void* (*create)(const HttpClientOptions& options);
    // Blocks until the answer is in, or the request failed, ran out of time or was cancelled.
    HttpResult (*get)(void* client, const std::string& path);
    // From any thread, between create() and destroy(): get() ends at once with `cancelled`, or
    // does not start. Never waits.
    void (*cancel)(void* client);
    void (*destroy)(void* client);
};

// The client of this process, loaded on the first call and kept to the end; nothing when it
// cannot be loaded (with an error trace line, once).
const HttpClientApi* httpClientApi();

} // namespace velmora

// The one symbol of the client module.
extern "C" const velmora::HttpClientApi* velmoraHttpClientApi();
