#pragma once

#include "portal/HttpClient.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace velmora {

// Every request of the program (portal exchanges and appliance probes) goes through here: each
// is one GET on a fresh client that is destroyed afterwards, with certificate checks off and the
// 300-second connection, read and write time-outs. Keeping the clients in flight on record lets
// the program cut them all short when it ends instead of waiting for an appliance that is gone.
class HttpRequests
{
public:
    // Nothing when no answer came: refused, unreachable, TLS failure, time-out, or cancelled.
    // An empty user agent leaves the client's own.
    std::optional<HttpReply> get(const std::string& host, std::int32_t port, bool https,
                                 const std::string& path, const std::string& userAgent = {});

    // From now on every request fails at once, and requests under way are cut off. Never waits:
    // a client that is still connecting cannot be stopped before its connection attempt ends,
    // so the cutting off happens on a thread of its own.
    void cancelAll();

private:
    // Shared with the cutting thread, which may outlive this object.
    struct State
    {
        std::mutex mutex;
        std::set<void*> inFlight; // clients of httpClientApi()
        bool cancelled = false;
    };

    bool track(void* client);
    void untrack(void* client);

    std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace velmora
