#pragma once

#include "ActiveSockets.h"
#include "ApplianceTypes.h"
#include "Connection.h"
#include "UniqueFd.h"

#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <thread>

namespace standin {

// Accepts connections on one loopback address and serves each on a thread of its own, one
// request per connection. Binding happens in the constructor, so a listener that exists is
// listening; the destructor stops it and joins every thread.
class Listener
{
public:
    // Gets the listener's own address (with the bound port) beside each connection.
    using Serve = std::function<void(Connection&, const ListenAddress&)>;

    // `tls` must outlive the listener when the scheme is https. Throws std::invalid_argument
    // for an address outside 127/8 and std::runtime_error when binding fails.
    Listener(const ListenAddress& where, SSL_CTX* tls, Serve serve);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // With the port as bound.
    const ListenAddress& address() const { return m_address; }

private:
    struct Worker
    {
        std::thread thread;
        std::atomic<bool> done { false };
    };

    void acceptConnections();
    void startWorker(std::unique_ptr<Connection> connection);
    void joinFinishedWorkers();

    ListenAddress m_address;
    SSL_CTX* m_tls;
    Serve m_serve;
    UniqueFd m_socket;
    ActiveSockets m_active;
    std::list<std::unique_ptr<Worker>> m_workers; // accept thread only, until it has ended
    std::thread m_acceptThread;
};

} // namespace standin
