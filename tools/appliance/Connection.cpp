#include "Connection.h"

#include <openssl/err.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace standin {
namespace {

constexpr std::size_t headLimit = 16 * 1024;
constexpr auto readTimeout = std::chrono::seconds(5);
// A client's side of the handshake (its key exchange, a certificate check) can take seconds on a
// loaded machine or under a sanitizer; cut there, it would take our close for a failed handshake.
constexpr auto handshakeReadTimeout = std::chrono::seconds(30);
constexpr auto writeTimeout = std::chrono::seconds(10);
constexpr auto drainTimeout = std::chrono::milliseconds(200);
constexpr std::size_t drainLimit = 64 * 1024;

void setTimeout(int socket, int option, std::chrono::milliseconds timeout)
{
    timeval value {};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(socket, SOL_SOCKET, option, &value, sizeof value);
}

} // namespace

Connection::Connection(UniqueFd socket, SSL_CTX* tls, std::string remoteAddress,
                       ActiveSockets& active)
    : m_socket(std::move(socket))
    , m_tls(tls)
    , m_remoteAddress(std::move(remoteAddress))
    , m_active(active)
{
    // A client that connects and then says nothing must not hold a thread for ever.
    setTimeout(m_socket.get(), SO_RCVTIMEO, readTimeout);
    setTimeout(m_socket.get(), SO_SNDTIMEO, writeTimeout);
}

Connection::~Connection()
{
    close();
}

bool Connection::handshake()
{
    if (!m_socket)
        return false;
    if (!m_tls || m_handshakeDone)
        return true;
    ERR_clear_error();
    setTimeout(m_socket.get(), SO_RCVTIMEO, handshakeReadTimeout);
    m_ssl.reset(SSL_new(m_tls));
    const bool accepted =
        m_ssl && SSL_set_fd(m_ssl.get(), m_socket.get()) == 1 && SSL_accept(m_ssl.get()) == 1;
    setTimeout(m_socket.get(), SO_RCVTIMEO, readTimeout);
    if (accepted) {
        m_handshakeDone = true;
        return true;
    }
    ERR_clear_error();
    m_ssl.reset();
    return false;
}

long Connection::receive(char* buffer, std::size_t size)
{
    if (!m_socket)
        return -1;
    if (m_ssl) {
        ERR_clear_error();
        const int received =
            SSL_read(m_ssl.get(), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        if (received <= 0)
            ERR_clear_error();
        return received;
    }
    for (;;) {
        const ssize_t received = ::recv(m_socket.get(), buffer, size, 0);
        if (received < 0 && errno == EINTR)
            continue;
        return received;
    }
}

std::optional<RequestHead> Connection::readHead()
{
    char chunk[4096];
    for (;;) {
        const auto end = m_buffered.find("\r\n\r\n");
        if (end != std::string::npos && end <= headLimit) {
            RequestHead head { m_buffered.substr(0, end), true };
            m_buffered.erase(0, end + 4);
            return head;
        }
        // A request line starts with a method in capitals; anything else (a TLS ClientHello
        // on a plain port, say) is answered now rather than after the read time-out.
        const bool cannotBeHttp =
            !m_buffered.empty() && (m_buffered.front() < 'A' || m_buffered.front() > 'Z');
        if (m_buffered.size() > headLimit || cannotBeHttp)
            return RequestHead { std::exchange(m_buffered, {}), false };
        const long received = receive(chunk, sizeof chunk);
        if (received <= 0) {
            if (m_buffered.empty())
                return std::nullopt;
            return RequestHead { std::exchange(m_buffered, {}), false };
        }
        m_buffered.append(chunk, static_cast<std::size_t>(received));
    }
}

std::optional<std::string> Connection::readBody(std::size_t length)
{
    char chunk[4096];
    while (m_buffered.size() < length) {
        const long received = receive(chunk, sizeof chunk);
        if (received <= 0)
            return std::nullopt;
        m_buffered.append(chunk, static_cast<std::size_t>(received));
    }
    std::string body = m_buffered.substr(0, length);
    m_buffered.erase(0, length);
    return body;
}

bool Connection::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        if (!m_socket)
            return false;
        long sent = 0;
        if (m_ssl) {
            ERR_clear_error();
            sent = SSL_write(m_ssl.get(), bytes.data(),
                             static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
            if (sent <= 0) {
                ERR_clear_error();
                return false;
            }
        } else {
            sent = ::send(m_socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void Connection::close()
{
    if (!m_socket)
        return;
    if (m_ssl && m_handshakeDone) {
        ERR_clear_error();
        SSL_shutdown(m_ssl.get());
        ERR_clear_error();
    }
    m_ssl.reset();
    ::shutdown(m_socket.get(), SHUT_WR);
    drainBriefly();
    release();
}

void Connection::resetAbruptly()
{
    if (!m_socket)
        return;
    // Freed without SSL_shutdown, so no close_notify goes out before the reset.
    m_ssl.reset();
    const linger abort { 1, 0 };
    ::setsockopt(m_socket.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    release();
}

void Connection::answerGarbage()
{
    if (!m_socket)
        return;
    // Waits for the client's first flight, so the garbage comes as its answer.
    char hello[4096];
    while (::recv(m_socket.get(), hello, sizeof hello, 0) < 0 && errno == EINTR) { }
    // 0x7f is no TLS record type, and the line is no HTTP status line either.
    constexpr std::string_view garbage = "\x7fnot TLS, not HTTP\x7f\r\n\r\n";
    ::send(m_socket.get(), garbage.data(), garbage.size(), MSG_NOSIGNAL);
    close();
}

void Connection::drainBriefly()
{
    setTimeout(m_socket.get(), SO_RCVTIMEO, drainTimeout);
    char chunk[4096];
    std::size_t drained = 0;
    while (drained < drainLimit) {
        const ssize_t received = ::recv(m_socket.get(), chunk, sizeof chunk, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            break;
        drained += static_cast<std::size_t>(received);
    }
}

void Connection::release()
{
    m_active.remove(m_socket.get());
    m_socket.reset();
}

} // namespace standin
