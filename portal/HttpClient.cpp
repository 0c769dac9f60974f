#include "portal/HttpClient.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

namespace {

using velmora::HttpClientOptions;
using velmora::HttpEnd;
using velmora::HttpResult;

struct Client
{
    std::unique_ptr<httplib::ClientImpl> http;
    HttpClientOptions options;
    // Written in the handshake, on the thread that runs get().
    std::string presentedIdentity;
    bool identityMismatch = false;
};

std::string keyFingerprint(X509* certificate)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool hashed = EVP_Digest(der, static_cast<std::size_t>(length), digest, &digestLength,
                                   EVP_sha256(), nullptr)
        == 1;
    OPENSSL_free(der);
    if (!hashed)
        return {};
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < digestLength; ++i) {
        if (i > 0)
            text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xF];
    }
    return text;
}

// Takes the place of the certificate chain's verification, once per handshake, as soon as the
// appliance's certificate has come: before the client sends anything but its greeting. Its result
// is heeded because the context asks for SSL_VERIFY_PEER; the chain itself is not judged (it is
// self-signed as a rule), only the key of the appliance's own certificate.
int checkIdentity(X509_STORE_CTX* store, void* opaque)
{
    auto* client = static_cast<Client*>(opaque);
    X509* certificate = X509_STORE_CTX_get0_cert(store);
    client->presentedIdentity = certificate ? keyFingerprint(certificate) : std::string();
    const std::string& expected = client->options.expectedIdentity;
    if (expected.empty() || client->presentedIdentity == expected)
        return 1;
    client->identityMismatch = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

std::string trimmedLower(std::string text)
{
    const auto blank = [](unsigned char c) {
        return c == ' ' || c == '\t';
    };
    while (!text.empty() && blank(text.back()))
        text.pop_back();
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Debian's cpp-httplib is prebuilt: its time-out macros do nothing, so every client gets them
// here. An unreachable appliance may hold a request for about five minutes.
void* create(const HttpClientOptions& options)
{
    auto client = std::make_unique<Client>();
    client->options = options;
    if (options.https) {
        auto secure = std::make_unique<httplib::SSLClient>(options.host, options.port);
        // Appliances present self-signed certificates, or ones for another name.
        secure->enable_server_certificate_verification(false);
        // With its own verification off, cpp-httplib 0.11 leaves each connection the verify mode
        // of the client's context: the handshake then fails at the appliance's certificate when
        // checkIdentity refuses its key, and the request is never written.
        if (SSL_CTX* context = secure->ssl_context()) {
            SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
            SSL_CTX_set_cert_verify_callback(context, checkIdentity, client.get());
        }
        client->http = std::move(secure);
    } else {
        client->http = std::make_unique<httplib::ClientImpl>(options.host, options.port);
    }
    httplib::ClientImpl& http = *client->http;
    http.set_connection_timeout(300, 300);
    http.set_read_timeout(300, 300);
    http.set_write_timeout(300, 0);
    // Sends no Accept-Encoding, and hands over a compressed answer as it came (to be refused).
    http.set_decompress(false);
    if (!options.userAgent.empty())
        http.set_default_headers({ { "User-Agent", options.userAgent } });
    if (options.socketMade) {
        http.set_socket_options([options](socket_t socket) {
            options.socketMade(options.observer, static_cast<std::intptr_t>(socket));
        });
    }
    return client.release();
}

HttpResult get(void* opaque, const std::string& path)
{
    auto* client = static_cast<Client*>(opaque);
    const HttpClientOptions& options = client->options;
    HttpResult outcome;
    std::string body;
    bool tooLarge = false;

    const auto checkHead = [&](const httplib::Response& head) {
        if (options.headRead)
            options.headRead(options.observer);
        for (std::size_t i = 0; i < head.get_header_value_count("Content-Encoding"); ++i) {
            const std::string coding = head.get_header_value("Content-Encoding", i);
            if (const std::string name = trimmedLower(coding);
                !name.empty() && name != "identity") {
                outcome.encoding = coding;
                return false;
            }
        }
        // A promised length past the limit is refused before a byte of the body is read.
        const std::string length = head.get_header_value("Content-Length");
        std::size_t promised = 0;
        const auto [end, error] =
            std::from_chars(length.data(), length.data() + length.size(), promised);
        if (!length.empty()
            && (error == std::errc::result_out_of_range
                || (error == std::errc() && promised > options.maxBodyBytes))) {
            tooLarge = true;
            return false;
        }
        return true;
    };
    const auto receive = [&](const char* data, std::size_t length) {
        if (length > options.maxBodyBytes - body.size()) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    };

    const httplib::Result result = client->http->Get(path, checkHead, receive);
    outcome.presentedIdentity = client->presentedIdentity;
    if (client->identityMismatch)
        outcome.end = HttpEnd::identityMismatch;
    else if (!outcome.encoding.empty())
        outcome.end = HttpEnd::encoded;
    else if (tooLarge)
        outcome.end = HttpEnd::tooLarge;
    else if (result) {
        outcome.end = HttpEnd::answered;
        outcome.reply = { result->status, std::move(body) };
    }
    return outcome;
}

void destroy(void* client)
{
    delete static_cast<Client*>(client);
}

constexpr velmora::HttpClientApi api { create, get, destroy };

} // namespace

const velmora::HttpClientApi* velmoraHttpClientApi()
{
    return &api;
}
