#include "portal/HttpRequests.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "portal/LargeStack.h"
#include "portal/RequestSocket.h"

#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace velmora {

namespace {

using Clock = std::chrono::steady_clock;

// How often the watchdog counts the bytes of the requests whose connection is open. The small
// receive buffer keeps what arrives between two counts to some KiB.
constexpr auto countInterval = std::chrono::milliseconds(2);
// A status line as long as the head limit lets through, and some, needs about 10 MiB for its
// match (three times that under AddressSanitizer). Only what is touched is used.
constexpr std::size_t requestStackBytes = 64 * 1024 * 1024;

enum class Cut { none, deadline, cancelled, tooManyBytes };

std::string secondsText(std::chrono::milliseconds duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

} // namespace

struct HttpRequests::Request
{
    Watch* watch = nullptr;
    Clock::time_point deadline;
    std::vector<HeldSocket> sockets; // one per connection attempt
    bool headRead = false;
    Cut cut = Cut::none;
    std::uint64_t limitPassed = 0;
};

struct HttpRequests::Watch
{
    std::mutex mutex;
    std::condition_variable wake;
    std::set<Request*> requests;
    bool cancelled = false;
    bool stopping = false;
    std::chrono::milliseconds deadline = defaultDeadline;
    // Started with the first request; it has nothing to do before.
    std::thread watchdog;

    // With the mutex held.
    void cutOff(Request& request, Cut why)
    {
        if (request.cut == Cut::none)
            request.cut = why;
        for (HeldSocket& socket : request.sockets)
            socket.cut();
    }

    void cancelAll()
    {
        {
            std::lock_guard lock(mutex);
            cancelled = true;
            for (Request* request : requests)
                cutOff(*request, Cut::cancelled);
        }
        wake.notify_all();
    }

    // Cuts off what is past its deadline or its byte limit, and sleeps until the next deadline,
    // or the next count while a connection is open.
    void run()
    {
        std::unique_lock lock(mutex);
        while (!stopping) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (Request* request : requests) {
                if (request->cut != Cut::none) {
                    // Again, for a connection made since: a socket that did not yet connect
                    // when it was cut connects afterwards all the same.
                    cutOff(*request, request->cut);
                } else if (now >= request->deadline) {
                    cutOff(*request, Cut::deadline);
                } else {
                    std::uint64_t received = 0;
                    for (const HeldSocket& socket : request->sockets)
                        received += socket.bytesReceived().value_or(0);
                    const std::uint64_t limit = request->headRead ? allBytes : headBytes;
                    if (received > limit) {
                        request->limitPassed = limit;
                        cutOff(*request, Cut::tooManyBytes);
                    }
                    next = std::min(next, request->deadline);
                }
                if (!request->sockets.empty())
                    next = std::min(next, now + countInterval);
            }
            if (next == Clock::time_point::max())
                wake.wait(lock);
            else
                wake.wait_until(lock, next);
        }
    }
};

namespace {

// Every Watch of the process, for cancelEverywhere(). (As void: the type is the class's own.)
std::mutex everyWatchMutex;
std::vector<std::weak_ptr<void>> everyWatch;

} // namespace

HttpRequests::HttpRequests()
    : m_watch(std::make_shared<Watch>())
{
    std::lock_guard lock(everyWatchMutex);
    std::erase_if(everyWatch, [](const auto& watch) { return watch.expired(); });
    everyWatch.push_back(m_watch);
}

HttpRequests::~HttpRequests()
{
    {
        std::lock_guard lock(m_watch->mutex);
        m_watch->stopping = true;
    }
    m_watch->wake.notify_all();
    if (m_watch->watchdog.joinable())
        m_watch->watchdog.join();
}

void HttpRequests::cancelAll()
{
    m_watch->cancelAll();
}

void HttpRequests::cancelEverywhere()
{
    std::vector<std::shared_ptr<Watch>> watches;
    {
        std::lock_guard lock(everyWatchMutex);
        for (const auto& watch : everyWatch) {
            if (auto alive = watch.lock())
                watches.push_back(std::static_pointer_cast<Watch>(alive));
        }
    }
    for (const auto& watch : watches)
        watch->cancelAll();
}

void HttpRequests::setDeadline(std::chrono::milliseconds deadline)
{
    std::lock_guard lock(m_watch->mutex);
    m_watch->deadline = deadline;
}

void HttpRequests::socketMade(void* opaque, std::intptr_t socket)
{
    auto& request = *static_cast<Request*>(opaque);
    limitReceiveBuffer(socket);
    HeldSocket held(socket);
    {
        std::lock_guard lock(request.watch->mutex);
        request.sockets.push_back(std::move(held));
    }
    // Counting starts now; a request already cut off has this socket cut on the next pass.
    request.watch->wake.notify_all();
}

void HttpRequests::headRead(void* opaque)
{
    auto& request = *static_cast<Request*>(opaque);
    std::lock_guard lock(request.watch->mutex);
    request.headRead = true;
}

std::optional<HttpReply> HttpRequests::get(const std::string& host, std::int32_t port, bool https,
                                           const std::string& path, const std::string& userAgent,
                                           IdentityCheck* identity)
{
    // A number beyond the range would be cut to 16 bits further down (65616 to 80).
    if (port < 1 || port > 65535) {
        traceError("No request sent: the port " + std::to_string(port) + " is outside 1 to 65535.");
        return std::nullopt;
    }
    const HttpClientApi* api = httpClientApi();
    if (!api)
        return std::nullopt;

    Request request;
    std::chrono::milliseconds deadline;
    {
        std::lock_guard lock(m_watch->mutex);
        if (m_watch->cancelled) {
            traceError("No request sent: the program is ending.");
            return std::nullopt;
        }
        deadline = m_watch->deadline;
        request.watch = m_watch.get();
        request.deadline = Clock::now() + deadline;
        m_watch->requests.insert(&request);
        if (!m_watch->watchdog.joinable())
            m_watch->watchdog = std::thread([watch = m_watch.get()] { watch->run(); });
    }
    m_watch->wake.notify_all();
    // Whatever happens below, the watchdog lets go of the request before it goes.
    std::vector<HeldSocket> sockets;
    const auto untrack = [&] {
        std::lock_guard lock(m_watch->mutex);
        m_watch->requests.erase(&request);
        sockets = std::move(request.sockets);
    };

    HttpResult result;
    try {
        const HttpClientOptions options {
            host,       port,         https,
            userAgent,  maxBodyBytes, &request,
            socketMade, headRead,     identity ? identity->expected : std::string()
        };
        runOnLargeStack(
            [&] {
                const auto destroy = [api](void* client) {
                    api->destroy(client);
                };
                const std::unique_ptr<void, decltype(destroy)> client(api->create(options),
                                                                      destroy);
                result = api->get(client.get(), path);
            },
            requestStackBytes);
    } catch (...) {
        untrack();
        throw;
    }
    untrack();
    if (identity) {
        identity->presented = result.presentedIdentity;
        identity->mismatch = result.end == HttpEnd::identityMismatch;
    }

    // An answer that came whole is taken, even when the cut came just after it.
    if (result.end == HttpEnd::answered)
        return std::move(result.reply);
    switch (result.end) {
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
    default:
        switch (request.cut) {
        case Cut::deadline:
            traceError("The request was cut off: no whole answer within " + secondsText(deadline)
                       + " seconds.");
            break;
        case Cut::cancelled:
            traceError("The request was cut off: the program is ending.");
            break;
        case Cut::tooManyBytes:
            traceError("The answer was cut off: the appliance sent more than "
                       + std::to_string(request.limitPassed) + " bytes"
                       + (request.headRead ? " in all." : " before the body."));
            break;
        case Cut::none:
            break;
        }
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
