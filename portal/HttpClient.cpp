#include "portal/HttpClient.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <string_view>

namespace {

using velmora::HttpClientOptions;
using velmora::HttpEnd;
using velmora::HttpResult;

// The User-Agent of a request that names none: what the client has always sent there, which an
// appliance may know it by.
constexpr char defaultUserAgent[] = "cpp-httplib/0.11.4";

// How long one wait for the network may last at most. Only an upper bound: the wait ends at once
// when anything arrives, when the library's own timers (the deadline) are due, and on cancel().
constexpr int longestWaitMs = 60 * 60 * 1000;

struct Client
{
    HttpClientOptions options;
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* headers = nullptr;
    std::atomic<bool> cancelled { false };

    // Written while get() runs, on its thread.
    std::string presentedIdentity;
    bool identityMismatch = false;
    std::size_t headBytes = 0;
    bool headTooLarge = false;
    bool bodyTooLarge = false;
    std::string encoding;
    std::string body;
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

// Called by the library with the TLS context of the connection, after its own settings (which,
// with verification off, ask for no check at all) and before the handshake.
CURLcode setUpTls(CURL*, void* context, void* opaque)
{
    auto* tls = static_cast<SSL_CTX*>(context);
    SSL_CTX_set_verify(tls, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(tls, checkIdentity, opaque);
    return CURLE_OK;
}

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n';
    };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool startsWithNoCase(std::string_view text, std::string_view start)
{
    return text.size() >= start.size()
        && std::equal(start.begin(), start.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a))
                   == std::tolower(static_cast<unsigned char>(b));
           });
}

// A Content-Encoding that leaves the body as it is: "identity" only, however often it is named.
// "identity, gzip" is a gzip body all the same.
bool isPlainCoding(std::string_view codings)
{
    while (!codings.empty()) {
        const std::size_t comma = std::min(codings.find(','), codings.size());
        const std::string_view coding = trimmed(codings.substr(0, comma));
        if (!coding.empty() && !(coding.size() == 8 && startsWithNoCase(coding, "identity")))
            return false;
        codings.remove_prefix(std::min(comma + 1, codings.size()));
    }
    return true;
}

// The library holds a line of the head up to 100 KiB before it hands it over, and gives up on a
// longer one as out of memory; from 8.6 on, as too large.
bool isHeadLineTooLong(CURLcode code)
{
#if LIBCURL_VERSION_NUM >= 0x080600
    if (code == CURLE_TOO_LARGE)
        return true;
#endif
    return code == CURLE_OUT_OF_MEMORY;
}

// Each line of the head as it completes (the status line, every header, the blank line; those of
// an interim answer and of a chunked body's trailer too). Returning less than was given ends the
// request.
std::size_t onHeadLine(char* data, std::size_t size, std::size_t count, void* opaque)
{
    auto* client = static_cast<Client*>(opaque);
    const std::size_t length = size * count;
    client->headBytes += length;
    if (client->headBytes > client->options.maxHeadBytes) {
        client->headTooLarge = true;
        return 0;
    }
    const std::string_view line(data, length);
    if (startsWithNoCase(line, "Content-Encoding:")) {
        const std::string_view coding = trimmed(line.substr(17));
        if (!isPlainCoding(coding)) {
            client->encoding = std::string(coding);
            return 0;
        }
    }
    return length;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* opaque)
{
    auto* client = static_cast<Client*>(opaque);
    const std::size_t length = size * count;
    if (length > client->options.maxBodyBytes - client->body.size()) {
        client->bodyTooLarge = true;
        return 0;
    }
    client->body.append(data, length);
    return length;
}

// What the client has always done to a path before it went out: blanks, plus signs, line breaks,
// apostrophes, commas, semicolons and bytes beyond ASCII percent-encoded, the rest left alone.
std::string requestTarget(const std::string& path)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string target;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0)
            break;
        if (c == ' ' || c == '+' || c == '\r' || c == '\n' || c == '\'' || c == ',' || c == ';'
            || byte >= 0x80) {
            target += '%';
            target += hex[byte >> 4];
            target += hex[byte & 0xF];
        } else {
            target += c;
        }
    }
    return target;
}

bool globalSetUp()
{
    static const bool done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return done;
}

void destroy(void* opaque);

void* create(const HttpClientOptions& options)
{
    if (!globalSetUp())
        return nullptr;
    auto client = std::make_unique<Client>();
    client->options = options;
    client->easy = curl_easy_init();
    client->multi = curl_multi_init();
    if (!client->easy || !client->multi) {
        destroy(client.release());
        return nullptr;
    }
    CURL* easy = client->easy;
    const std::string scheme = options.https ? "https" : "http";
    const std::string url =
        scheme + "://" + options.host + ":" + std::to_string(options.port) + "/";
    // The Host header names the port only where it is not the scheme's own.
    const bool usualPort = options.port == (options.https ? 443 : 80);
    const std::string host =
        usualPort ? options.host : options.host + ":" + std::to_string(options.port);
    const std::string userAgent = options.userAgent.empty() ? defaultUserAgent : options.userAgent;
    // The head the client has always sent, in this order, and nothing else. The library would
    // put its own Host line first: the empty one takes that out, and the one that follows is
    // sent in its place in the list.
    for (const std::string& header :
         { std::string("Host:"), std::string("Accept: */*"), std::string("Connection: close"),
           "Host: " + host, "User-Agent: " + userAgent })
        client->headers = curl_slist_append(client->headers, header.c_str());

    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, client->headers);
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    // Never a proxy, whatever the environment says: the appliance is on the local network.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Whatever the coding, the body is handed over as it came (and refused in onHeadLine).
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP_TRANSFER_DECODING, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options.deadline.count()));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 300000L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(options.maxBodyBytes));
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeadLine);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, client.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, client.get());
    if (options.https) {
        // Appliances present self-signed certificates, or ones for another name: the key alone
        // is checked, in setUpTls's callback. No session is resumed, so every handshake shows
        // the certificate.
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_ENABLE_ALPN, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, setUpTls);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, client.get());
    }
    return client.release();
}

HttpResult get(void* opaque, const std::string& path)
{
    auto* client = static_cast<Client*>(opaque);
    HttpResult outcome;
    const std::string target = requestTarget(path);
    curl_easy_setopt(client->easy, CURLOPT_REQUEST_TARGET, target.c_str());

    CURLcode code = CURLE_FAILED_INIT;
    if (!client->cancelled && curl_multi_add_handle(client->multi, client->easy) == CURLM_OK) {
        for (;;) {
            int running = 0;
            if (curl_multi_perform(client->multi, &running) != CURLM_OK)
                break;
            if (running == 0) {
                int left = 0;
                while (CURLMsg* message = curl_multi_info_read(client->multi, &left)) {
                    if (message->msg == CURLMSG_DONE)
                        code = message->data.result;
                }
                break;
            }
            if (client->cancelled)
                break;
            // Sleeps until the socket, the library's next timer or cancel() wakes it.
            if (curl_multi_poll(client->multi, nullptr, 0, longestWaitMs, nullptr) != CURLM_OK)
                break;
        }
        curl_multi_remove_handle(client->multi, client->easy);
    }

    outcome.presentedIdentity = client->presentedIdentity;
    if (client->cancelled && code != CURLE_OK)
        outcome.end = HttpEnd::cancelled;
    else if (client->identityMismatch)
        outcome.end = HttpEnd::identityMismatch;
    else if (!client->encoding.empty()) {
        outcome.end = HttpEnd::encoded;
        outcome.encoding = client->encoding;
    } else if (client->headTooLarge || isHeadLineTooLong(code)) {
        outcome.end = HttpEnd::headTooLarge;
    } else if (client->bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED)
        outcome.end = HttpEnd::tooLarge;
    else if (code == CURLE_OPERATION_TIMEDOUT)
        outcome.end = HttpEnd::timedOut;
    else if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(client->easy, CURLINFO_RESPONSE_CODE, &status);
        // No status of three digits: the library took lines that only began like a status line
        // ("HTTP/200 OK", "HTTP/210200") for an answer. That is none.
        if (status > 0 && status <= 999) {
            outcome.end = HttpEnd::answered;
            outcome.reply = { static_cast<int>(status), std::move(client->body) };
        }
    }
    return outcome;
}

void cancel(void* opaque)
{
    auto* client = static_cast<Client*>(opaque);
    client->cancelled = true;
    curl_multi_wakeup(client->multi);
}

void destroy(void* opaque)
{
    auto* client = static_cast<Client*>(opaque);
    if (!client)
        return;
    if (client->multi)
        curl_multi_cleanup(client->multi);
    if (client->easy)
        curl_easy_cleanup(client->easy);
    curl_slist_free_all(client->headers);
    delete client;
}

constexpr velmora::HttpClientApi api { create, get, cancel, destroy };

} // namespace

const velmora::HttpClientApi* velmoraHttpClientApi()
{
    return &api;
}
