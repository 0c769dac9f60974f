#pragma once

#include "ActiveSockets.h"
#include "UniqueFd.h"

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace standin {

// The bytes up to the blank line that ends a request head. `complete` is false when the peer
// stopped (or went over the size limit) before that line came.
struct RequestHead
{
    std::string text;
    bool complete = false;
};

// One accepted connection, plain or TLS, used by one thread. The socket is registered with
// the listener's ActiveSockets for its whole life, so a stop interrupts every blocking call.
class Connection
{
public:
    // `tls` null: plain HTTP. The TLS handshake waits for handshake().
    Connection(UniqueFd socket, SSL_CTX* tls, std::string remoteAddress, ActiveSockets& active);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool handshake();
    std::optional<RequestHead> readHead(); // empty when the peer sent nothing at all
    std::optional<std::string> readBody(std::size_t length);
    bool send(std::string_view bytes);
    bool pause(std::chrono::milliseconds delay) { return m_active.pause(delay); }

    // Ends the connection in order: TLS close_notify, FIN, then a short drain so that unread
    // input does not turn the close into a reset.
    void close();
    // Ends it with a TCP reset (SO_LINGER 0) and without a TLS alert.
    void resetAbruptly();
    // Reads a little of what the peer sent (a TLS ClientHello, say) without TLS, answers bytes
    // that are neither TLS nor HTTP and closes.
    void answerGarbage();

    const std::string& remoteAddress() const { return m_remoteAddress; }

private:
    struct SslFree
    {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };

    long receive(char* buffer, std::size_t size);
    void drainBriefly();
    void release();

    UniqueFd m_socket;
    SSL_CTX* m_tls;
    std::unique_ptr<SSL, SslFree> m_ssl;
    bool m_handshakeDone = false;
    std::string m_remoteAddress;
    ActiveSockets& m_active;
    std::string m_buffered;
};

} // namespace standin
