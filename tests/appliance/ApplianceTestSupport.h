#pragma once

#include "StandInAppliance.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QMetaType>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

// What the stand-in's tests share: clients made the way the portal client makes them, the
// portal's request targets, and a raw TCP client for what httplib hides (resets, short bodies,
// a chosen source address).
namespace appliancetest {

using namespace std::chrono_literals;

inline const std::string portalKey = "kq52vnwpex317t9hmzol8";
inline const std::string clientUserAgent =
    "VelmoraApp/1.0.0 (Windows NT 10.0; Win64; x64; rv:89.0)";

// httplib's TLS client says goodbye (SSL_shutdown) on a connection the peer has reset, and
// that write raises SIGPIPE, which would end the test program. The client must cope; the test
// only needs to live on.
inline void ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

// Debian's cpp-httplib is prebuilt: its time-out macros do nothing, so set them on every client.
inline std::unique_ptr<httplib::Client> clientFor(const standin::ListenAddress& where,
                                                  std::chrono::seconds readTimeout = 5s)
{
    // Any test with a TLS client may see a reset connection.
    ignoreBrokenPipes();
    auto client = std::make_unique<httplib::Client>(standin::toUrl(where));
    client->enable_server_certificate_verification(false);
    client->set_connection_timeout(2);
    client->set_read_timeout(static_cast<time_t>(readTimeout.count()));
    client->set_default_headers({ { "User-Agent", clientUserAgent } });
    return client;
}

// The portal's keep-alive answers that need no reason.
inline const std::string success = R"({"status":"success"})";
inline const std::string expired = R"({"status":"fail","errors":"Session Expired"})";

inline std::string loginTarget(const std::string& user, const std::string& password)
{
    return "/index.php?pageto=c&ms=" + portalKey + "&mes=" + portalKey + "&fixeduserid=" + user
        + "&loginMethod=6&password=" + password + "&portal=1&stage=9";
}

inline std::string keepAliveTarget(const std::string& userid, const std::string& username,
                                   const std::string& k1)
{
    return "/index.php?pageto=ka&ms=" + portalKey + "&mes=" + portalKey + "&u=" + userid
        + "&username=" + username + "&k1=" + k1;
}

inline std::string logoutTarget()
{
    return "/index.php?pageto=fbo&operation=4&ms=" + portalKey + "&mes=" + portalKey;
}

// The session values of a successful login answer, as text the way the client keeps them.
struct SessionValues
{
    std::string userid;
    std::string username;
    std::string k1;
};

inline SessionValues sessionValuesOf(const std::string& loginBody)
{
    const auto data = nlohmann::json::parse(loginBody).at("data");
    return { data.at("userid").dump(), data.at("username").get<std::string>(),
             data.at("k1").dump() };
}

struct RawExchange
{
    std::string received; // every byte that arrived
    int endError = 0; // errno of the read that ended it: 0 for a clean close, ECONNRESET...
    bool connected = false;
};

// Sends `request` over plain TCP from `source` and reads until the peer closes; with
// `halfClose`, says that it has sent everything, as a request cut short would.
inline RawExchange rawExchange(const standin::ListenAddress& to, const std::string& request,
                               const std::string& source = "127.0.0.1", bool halfClose = false)
{
    RawExchange result;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return result;
    timeval timeout { 5, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &address.sin_addr);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        address.sin_port = htons(to.port);
        ::inet_pton(AF_INET, to.address.c_str(), &address.sin_addr);
        result.connected =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    if (result.connected && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
        if (halfClose)
            ::shutdown(fd, SHUT_WR);
        char chunk[4096];
        for (;;) {
            const ssize_t received = ::recv(fd, chunk, sizeof chunk, 0);
            if (received > 0) {
                result.received.append(chunk, static_cast<std::size_t>(received));
                continue;
            }
            result.endError = received == 0 ? 0 : errno;
            break;
        }
    }
    ::close(fd);
    return result;
}

inline std::string bodyOf(const RawExchange& exchange)
{
    const auto end = exchange.received.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : exchange.received.substr(end + 4);
}

inline std::string rawGet(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: appliance\r\nConnection: close\r\n\r\n";
}

} // namespace appliancetest

// For _data() columns of std::string, so rows hold bytes exactly (no QString round trip).
Q_DECLARE_METATYPE(std::string)
