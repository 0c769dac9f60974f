#include "portal/HttpRequests.h"

#include <memory>
#include <thread>

namespace velmora {

std::optional<HttpReply> HttpRequests::get(const std::string& host, std::int32_t port, bool https,
                                           const std::string& path, const std::string& userAgent)
{
    const HttpClientApi* api = httpClientApi();
    if (!api)
        return std::nullopt;
    const auto destroy = [api](void* client) {
        api->destroy(client);
    };
    const std::unique_ptr<void, decltype(destroy)> client(api->create(host, port, https, userAgent),
                                                          destroy);
    if (!track(client.get()))
        return std::nullopt;
    auto reply = api->get(client.get(), path);
    untrack(client.get());
    return reply;
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
        // Only clients of a loaded client module are in flight.
        for (void* client : state->inFlight)
            httpClientApi()->stop(client);
    }).detach();
}

bool HttpRequests::track(void* client)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->cancelled)
        return false;
    m_state->inFlight.insert(client);
    return true;
}

void HttpRequests::untrack(void* client)
{
    std::lock_guard lock(m_state->mutex);
    m_state->inFlight.erase(client);
}

} // namespace velmora
