#pragma once

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
    noAnswer, // refused, unreachable, TLS failure, time-out, or its socket was cut off
    tooLarge, // cut off while received: the body passed maxBodyBytes
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
    std::string userAgent; // empty: the client's own
    std::size_t maxBodyBytes = 0;
    // Both are called on the thread that runs get(): socketMade with each socket the client
    // makes, right after it is made and before it connects (a Linux descriptor, or a Windows
    // SOCKET); headRead once the status line and headers of the answer are in, before its body.
    void* observer = nullptr;
    void (*socketMade)(void* observer, std::intptr_t socket) = nullptr;
    void (*headRead)(void* observer) = nullptr;
    // HTTPS: the fingerprint that the appliance's key must have, checked in the TLS handshake
    // before anything is sent; empty: any key.
    std::string expectedIdentity;
};

// The HTTP client proper (cpp-httplib, and through it the TLS library), behind a table of
// functions. On Linux it lives in a module of its own that is loaded at the first request: a
// window that waits for its user does not need the TLS library mapped and set up, which costs
// megabytes and milliseconds at every start.
struct HttpClientApi
{
    // A fresh client for one GET: HTTPS with certificate checks off (but the key checked against
    // expectedIdentity), or plain HTTP, with the 300-second connection, read and write time-outs.
    // It never asks for a compressed answer and never decompresses one.
    void* (*create)(const HttpClientOptions& options);
    HttpResult (*get)(void* client, const std::string& path);
    void (*destroy)(void* client);
};

// The client of this process, loaded on the first call and kept to the end; nothing when it
// cannot be loaded (with an error trace line, once).
const HttpClientApi* httpClientApi();

} // namespace velmora

// The one symbol of the client module.
extern "C" const velmora::HttpClientApi* velmoraHttpClientApi();
