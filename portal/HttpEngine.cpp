#include "portal/HttpEngine.h"

#include "app/OutsideText.h"
#include "app/Trace.h"

#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace velmora {

namespace {

std::string secondsText(std::chrono::milliseconds duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

} // namespace

// The clients under way, so that cancelAll() reaches them from any thread.
struct HttpEngine::Requests
{
    std::mutex mutex;
    std::set<void*> clients;
    const HttpClientApi* api = nullptr; // of the clients in the set
    bool cancelled = false;
    std::chrono::milliseconds deadline = defaultDeadline;

    void cancelAll()
    {
        std::lock_guard lock(mutex);
        cancelled = true;
        for (void* client : clients)
            api->cancel(client);
    }
};

namespace {

// Every Requests of the process, for cancelEverywhere(). (As void: the type is the class's own.)
std::mutex everyRequestsMutex;
std::vector<std::weak_ptr<void>> everyRequests;

} // namespace

HttpEngine::HttpEngine()
    : m_requests(std::make_shared<Requests>())
{
    std::lock_guard lock(everyRequestsMutex);
    std::erase_if(everyRequests, [](const auto& requests) { return requests.expired(); });
    everyRequests.push_back(m_requests);
}

HttpEngine::~HttpEngine() = default;

void HttpEngine::cancelAll()
{
    m_requests->cancelAll();
}

void HttpEngine::cancelEverywhere()
{
    std::vector<std::shared_ptr<Requests>> all;
    {
        std::lock_guard lock(everyRequestsMutex);
        for (const auto& requests : everyRequests) {
            if (auto alive = requests.lock())
                all.push_back(std::static_pointer_cast<Requests>(alive));
        }
    }
    for (const auto& requests : all)
        requests->cancelAll();
}

void HttpEngine::setDeadline(std::chrono::milliseconds deadline)
{
    std::lock_guard lock(m_requests->mutex);
    m_requests->deadline = deadline;
}

std::optional<HttpReply> HttpEngine::get(const std::string& host, std::int32_t port, bool https,
                                         const std::string& path, const std::string& userAgent,
                                         IdentityCheck* identity)
{
    // A number beyond the range would be cut to 16 bits further down (65616 to 80).
    if (port < 1 || port > 65535) {
        traceError("No request sent: the port " + std::to_string(port) + " is outside 1 to 65535.");
        return std::nullopt;
    }
    // The client library is handed a URL: an address with a colon, an "@" or a slash in it
    // would name another host, port or path there.
    if (host.empty()
        || host.find_first_not_of(
               "0123456789.-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
            != std::string::npos) {
        traceError("No request sent: \"" + outsideText(host, 64) + "\" is not an address.");
        return std::nullopt;
    }
    const HttpClientApi* api = httpClientApi();
    if (!api)
        return std::nullopt;

    HttpClientOptions options {
        host,         port,      https, userAgent,
        maxBodyBytes, headBytes, {},    identity ? identity->expected : ""
    };
    {
        std::lock_guard lock(m_requests->mutex);
        options.deadline = m_requests->deadline;
    }
    const auto destroy = [api](void* client) {
        api->destroy(client);
    };
    const std::unique_ptr<void, decltype(destroy)> client(api->create(options), destroy);
    if (!client) {
        traceError("No request sent: the HTTP client cannot be set up.");
        return std::nullopt;
    }
    {
        std::lock_guard lock(m_requests->mutex);
        if (m_requests->cancelled) {
            traceError("No request sent: the program is ending.");
            return std::nullopt;
        }
        m_requests->api = api;
        m_requests->clients.insert(client.get());
    }
    HttpResult result;
    try {
        result = api->get(client.get(), path);
    } catch (...) {
        std::lock_guard lock(m_requests->mutex);
        m_requests->clients.erase(client.get());
        throw;
    }
    {
        std::lock_guard lock(m_requests->mutex);
        m_requests->clients.erase(client.get());
    }
    if (identity) {
        identity->presented = result.presentedIdentity;
        identity->mismatch = result.end == HttpEnd::identityMismatch;
    }

    switch (result.end) {
    case HttpEnd::answered:
        return std::move(result.reply);
    case HttpEnd::noAnswer:
        break;
    case HttpEnd::timedOut:
        traceError("The request was cut off: no whole answer within "
                   + secondsText(options.deadline) + " seconds.");
        break;
    case HttpEnd::cancelled:
        traceError("The request was cut off: the program is ending.");
        break;
    case HttpEnd::headTooLarge:
        traceError("The answer was cut off: the appliance sent more than "
                   + std::to_string(headBytes) + " bytes before the body.");
        break;
    case HttpEnd::tooLarge:
        traceError("The answer was cut off: its body is larger than " + std::to_string(maxBodyBytes)
                   + " bytes.");
        break;
    case HttpEnd::encoded:
        traceError("The answer was refused: it came encoded (Content-Encoding: "
                   + outsideText(result.encoding, 64) + "), and only plain answers are read.");
        break;
    case HttpEnd::identityMismatch:
        traceError("No request sent: the appliance at " + host + ":" + std::to_string(port)
                   + " shows the key " + result.presentedIdentity + ", not the trusted "
                   + identity->expected + ".");
        break;
    }
    return std::nullopt;
}

void loadHttpClientAhead()
{
    // A thread of its own that ends with the load: one of Qt's pool would linger for half a
    // minute and then end at a time of its choosing.
    static std::once_flag started;
    std::call_once(started, [] {
        QThread* loader = QThread::create([] { httpClientApi(); });
        QObject::connect(loader, &QThread::finished, loader, &QObject::deleteLater);
        loader->start();
    });
}

} // namespace velmora
