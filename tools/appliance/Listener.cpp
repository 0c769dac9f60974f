#include "Listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace standin {
namespace {

// More connections than a test or a person at the client ever opens at once; beyond it new
// connections are closed at once instead of taking yet another thread.
constexpr std::size_t maxConnections = 64;
constexpr int backlog = 128;

} // namespace

Listener::Listener(const ListenAddress& where, SSL_CTX* tls, Serve serve)
    : m_address(where)
    , m_tls(where.scheme == Scheme::https ? tls : nullptr)
    , m_serve(std::move(serve))
{
    if (!isLoopbackAddress(where.address))
        throw std::invalid_argument("refusing to listen on " + where.address
                                    + ": only IPv4 loopback addresses (127.0.0.0/8) may be used");
    if (where.scheme == Scheme::https && !tls)
        throw std::invalid_argument("an https listener needs a TLS context");

    const auto fail = [&where](const char* step) {
        throw std::runtime_error("cannot listen on " + toUrl(where) + ": " + step + ": "
                                 + std::strerror(errno));
    };
    m_socket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!m_socket)
        fail("socket");
    // A restart after an outage must get the same port back while old connections linger in
    // TIME_WAIT.
    const int on = 1;
    if (::setsockopt(m_socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        fail("SO_REUSEADDR");

    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(where.port);
    ::inet_pton(AF_INET, where.address.c_str(), &address.sin_addr);
    if (::bind(m_socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("bind");
    if (::listen(m_socket.get(), backlog) != 0)
        fail("listen");
    socklen_t length = sizeof address;
    if (::getsockname(m_socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("getsockname");
    m_address.port = ntohs(address.sin_port);

    m_acceptThread = std::thread(&Listener::acceptConnections, this);
}

Listener::~Listener()
{
    m_active.stopAll();
    // On Linux, shutting a listening socket down wakes the thread blocked in accept().
    ::shutdown(m_socket.get(), SHUT_RDWR);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (const auto& worker : m_workers)
        worker->thread.join();
}

void Listener::acceptConnections()
{
    // A peer that goes away while an answer is written must cost an error, not the process.
    // The workers inherit this mask (OpenSSL writes with write(), which has no MSG_NOSIGNAL).
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    for (;;) {
        sockaddr_in peer {};
        socklen_t length = sizeof peer;
        UniqueFd socket(
            ::accept4(m_socket.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        if (!socket) {
            if (m_active.stopping())
                return;
            // Out of descriptors or a connection that died in the queue: back off, no spinning.
            if (errno != EINTR && errno != ECONNABORTED
                && !m_active.pause(std::chrono::milliseconds(50)))
                return;
            continue;
        }
        joinFinishedWorkers();
        if (m_workers.size() >= maxConnections)
            continue;
        char remote[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, remote, sizeof remote);
        const int number = socket.get();
        if (!m_active.add(number))
            return;
        startWorker(std::make_unique<Connection>(std::move(socket), m_tls, remote, m_active));
    }
}

void Listener::startWorker(std::unique_ptr<Connection> connection)
{
    auto worker = std::make_unique<Worker>();
    Worker* self = worker.get();
    try {
        worker->thread = std::thread([this, self, connection = std::move(connection)]() mutable {
            try {
                m_serve(*connection, m_address);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "velmora-appliance: a connection failed: %s\n", error.what());
            }
            connection.reset();
            self->done = true;
        });
    } catch (const std::exception&) {
        // No thread to be had: the connection (closed with the lambda) is dropped.
        return;
    }
    m_workers.push_back(std::move(worker));
}

void Listener::joinFinishedWorkers()
{
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace standin
