// The client's HTTP engine on the wire: each input is what an appliance answers to one of the
// client's real requests (probe, login, keep-alive, logout), over plain HTTP or TLS, from a
// server in this process on loopback. The engine must end every exchange within its deadline,
// hand over no body past its limit, and the answer's reading must take whatever it hands over.
//
// An input is one mode byte and the bytes to answer with:
//   bit 0: TLS; bits 1-2: the exchange; bit 3: end with a TCP reset instead of a close;
//   bit 4: write the answer in two pieces.
// In the answer, FF FE c0 c1 n b1..bn stands for b1..bn repeated (c0 + 256 c1) times, so that a
// short input can stand for a status line of 216,000 bytes or endless headers.

#include "FuzzSupport.h"
#include "portal/HttpClient.h"
#include "portal/PortalAnswers.h"
#include "portal/PortalRequests.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::size_t maxBody = 64 * 1024;
constexpr std::size_t maxHead = 32 * 1024;
constexpr std::size_t maxExpanded = 1024 * 1024;
constexpr auto deadline = 2s;

struct Server
{
    int listener = -1;
    std::uint16_t port = 0;
    SSL_CTX* tls = nullptr;
};

SSL_CTX* serverContext()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600L * 24 * 365);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("appliance"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, certificate);
    SSL_CTX_use_PrivateKey(context, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return context;
}

Server& server()
{
    static Server made = [] {
        std::signal(SIGPIPE, SIG_IGN);
        Server s;
        s.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(s.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(s.listener, 8) != 0
            || ::getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            std::abort();
        s.port = ntohs(address.sin_port);
        s.tls = serverContext();
        return s;
    }();
    return made;
}

std::string expanded(std::string_view input)
{
    std::string out;
    while (!input.empty() && out.size() < maxExpanded) {
        if (input.size() >= 5 && static_cast<unsigned char>(input[0]) == 0xFF
            && static_cast<unsigned char>(input[1]) == 0xFE) {
            const std::size_t count = static_cast<unsigned char>(input[2])
                + 256 * static_cast<std::size_t>(static_cast<unsigned char>(input[3]));
            const std::size_t length =
                std::min<std::size_t>(static_cast<unsigned char>(input[4]), input.size() - 5);
            const std::string_view piece = input.substr(5, length);
            for (std::size_t i = 0; i < count && out.size() < maxExpanded && !piece.empty(); ++i)
                out += piece;
            input.remove_prefix(5 + length);
        } else {
            out += input.front();
            input.remove_prefix(1);
        }
    }
    out.resize(std::min(out.size(), maxExpanded));
    return out;
}

struct Script
{
    bool tls = false;
    bool reset = false;
    bool split = false;
    std::string answer;
};

// Takes one connection, reads the request head, answers with the script and ends.
void serveOne(const Script& script)
{
    Server& s = server();
    pollfd waiting { s.listener, POLLIN, 0 };
    if (::poll(&waiting, 1, 5000) != 1)
        return; // the client never came: get() says why
    const int connection = ::accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
        return;
    timeval timeout { 3, 0 };
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    SSL* ssl = nullptr;
    bool ok = true;
    if (script.tls) {
        ssl = SSL_new(s.tls);
        SSL_set_fd(ssl, connection);
        ok = SSL_accept(ssl) == 1;
    }
    const auto receive = [&](char* buffer, int size) {
        return ssl ? SSL_read(ssl, buffer, size)
                   : static_cast<int>(::recv(connection, buffer, size, 0));
    };
    const auto send = [&](std::string_view bytes) {
        while (!bytes.empty()) {
            const int sent = ssl
                ? SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()))
                : static_cast<int>(::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL));
            if (sent <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    };
    std::string head;
    while (ok && head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
        char buffer[4096];
        const int received = receive(buffer, sizeof buffer);
        if (received <= 0)
            ok = false;
        else
            head.append(buffer, static_cast<std::size_t>(received));
    }
    if (ok) {
        FUZZ_CHECK(head.starts_with("GET /")
                       && head.find("\r\nConnection: close\r\n") != std::string::npos,
                   head);
        const std::string_view answer = script.answer;
        const std::size_t half = script.split ? answer.size() / 2 : answer.size();
        if (send(answer.substr(0, half)))
            send(answer.substr(half));
    }
    if (script.reset) {
        const linger abort { 1, 0 };
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
        if (ssl && ok)
            SSL_shutdown(ssl);
        ::shutdown(connection, SHUT_WR);
        // What the client still sends (its TLS alert) must not turn the close into a reset.
        char drain[4096];
        timeval brief { 0, 200000 };
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
        while (::recv(connection, drain, sizeof drain, 0) > 0) { }
    }
    if (ssl)
        SSL_free(ssl);
    ERR_clear_error();
    ::close(connection);
}

void readAs(int exchange, const std::string& body)
{
    switch (exchange) {
    case 1:
        velmora::readLoginAnswer(body);
        break;
    case 2:
        velmora::readKeepAliveAnswer(body);
        break;
    default:
        break; // the probe and the logout compare the body as it is
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t mode = data[0];
    Script script;
    script.tls = mode & 1;
    const int exchange = (mode >> 1) & 3;
    script.reset = mode & 8;
    script.split = mode & 16;
    script.answer = expanded(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));

    const std::string path = exchange == 0 ? std::string("/isvelmora.php")
        : exchange == 1                    ? velmora::loginPath("ann", "p@ss w/rd&+")
        : exchange == 2                    ? velmora::keepAlivePath("7", "ann", "99")
                                           : velmora::logoutPath();
    velmora::HttpClientOptions options;
    options.host = "127.0.0.1";
    options.port = server().port;
    options.https = script.tls;
    options.userAgent = exchange == 0 ? "" : velmora::portalUserAgent;
    options.maxBodyBytes = maxBody;
    options.maxHeadBytes = maxHead;
    options.deadline = deadline;

    std::thread serving(serveOne, std::cref(script));
    const velmora::HttpClientApi* api = velmoraHttpClientApi();
    void* client = api->create(options);
    FUZZ_CHECK(client != nullptr, "no client");
    const auto started = std::chrono::steady_clock::now();
    velmora::HttpResult result = api->get(client, path);
    const auto took = std::chrono::steady_clock::now() - started;
    api->destroy(client);
    serving.join();

    FUZZ_CHECK(took < deadline + 1s, "the request outlived its deadline");
    if (result.end == velmora::HttpEnd::answered) {
        FUZZ_CHECK(result.reply.body.size() <= maxBody, "a body past the limit was handed over");
        FUZZ_CHECK(result.reply.status >= 1 && result.reply.status <= 999,
                   std::to_string(result.reply.status));
        if (result.reply.status == 200)
            readAs(exchange, result.reply.body);
    } else {
        FUZZ_CHECK(result.reply.body.empty() && result.reply.status == 0, "a half answer");
    }
    if (script.tls)
        FUZZ_CHECK(result.presentedIdentity.empty() || result.presentedIdentity.size() == 95,
                   result.presentedIdentity);
    return 0;
}
