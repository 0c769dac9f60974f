#include "portal/HttpRequests.h"

#include <httplib.h>

#include <memory>
#include <thread>

namespace velmora {

namespace {

// Debian's cpp-httplib is prebuilt: its time-out macros do nothing, so every client gets them
// here. An unreachable appliance may hold a request for about five minutes.
std::unique_ptr<httplib::ClientImpl> makeClient(const std::string& host, std::int32_t port,
                                                bool https)
{
    std::unique_ptr<httplib::ClientImpl> client;
    if (https) {
        auto secure = std::make_unique<httplib::SSLClient>(host, port);
        // Appliances present self-signed certificates, or ones for another name.
        secure->enable_server_certificate_verification(false);
        client = std::move(secure);
    } else {
        client = std::make_unique<httplib::ClientImpl>(host, port);
    }
    client->set_connection_timeout(300, 300);
    client->set_read_timeout(300, 300);
    client->set_write_timeout(300, 0);
    return client;
}

} // namespace

std::optional<HttpReply> HttpRequests::get(const std::string& host, std::int32_t port, bool https,
                                           const std::string& path, const std::string& userAgent)
{
    auto client = makeClient(host, port, https);
    if (!userAgent.empty())
        client->set_default_headers({ { "User-Agent", userAgent } });
    if (!track(client.get()))
        return std::nullopt;
    httplib::Result result = client->Get(path.c_str());
    untrack(client.get());
    if (!result)
        return std::nullopt;
    return HttpReply { result->status, result->body };
}

void HttpRequests::cancelAll()
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->cancelled)
            return;
        m_state->cancelled = true;
        if (m_state->inFlight.empty())
            return;
    }
    // A client is only destroyed after untrack(), which needs the lock held here, so each one
    // outlives its stop().
    std::thread([state = m_state] {
        std::lock_guard lock(state->mutex);
        for (httplib::ClientImpl* client : state->inFlight)
            client->stop();
    }).detach();
}

bool HttpRequests::track(httplib::ClientImpl* client)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->cancelled)
        return false;
    m_state->inFlight.insert(client);
    return true;
}

void HttpRequests::untrack(httplib::ClientImpl* client)
{
    std::lock_guard lock(m_state->mutex);
    m_state->inFlight.erase(client);
}

} // namespace velmora
