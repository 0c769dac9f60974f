#include "StandInAppliance.h"

#include "ControlApi.h"
#include "HttpRequest.h"
#include "Listener.h"
#include "PortalPages.h"
#include "PortalSessions.h"
#include "Replies.h"
#include "RequestLog.h"
#include "ScriptBook.h"
#include "TlsContext.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <mutex>
#include <stdexcept>

namespace standin {
namespace {

constexpr std::size_t maxControlBody = 1024 * 1024;

std::string treatmentOf(const std::optional<ScriptedAction>& action)
{
    if (!action)
        return "answered";
    if (std::holds_alternative<Answer>(*action))
        return "scripted";
    switch (std::get<FaultRule>(*action).fault) {
    case Fault::resetMidAnswer:
        return "reset";
    case Fault::truncatedBody:
        return "truncated";
    case Fault::hugeBody:
        return "huge";
    case Fault::slowAnswer:
        return "slow";
    case Fault::failedHandshake:
        return "failed-handshake";
    case Fault::dripFed:
        return "drip";
    case Fault::endlessChunked:
        return "endless-chunked";
    case Fault::compressed:
        return "compressed";
    case Fault::echo:
        return "echo";
    case Fault::endlessHeaders:
        return "endless-headers";
    case Fault::longStatusLine:
        return "long-status-line";
    }
    return "answered";
}

// The request target repeated in the answer, as a careless portal script repeats its input: in
// the refusal's "errors" where the client reads JSON, as the whole body where it reads text.
Answer echoOf(const HttpRequest& request)
{
    const Exchange exchange = classifyExchange(request);
    if (exchange == Exchange::login || exchange == Exchange::keepAlive)
        return Answer {
            .body = nlohmann::json { { "status", "fail" }, { "errors", request.target } }.dump(
                -1, ' ', false, nlohmann::json::error_handler_t::replace),
            .contentType = "application/json"
        };
    return Answer { .body = request.target };
}

void requireLoopback(const ListenAddress& where)
{
    if (!isLoopbackAddress(where.address))
        throw std::invalid_argument("refusing to listen on " + where.address
                                    + ": only IPv4 loopback addresses (127.0.0.0/8) may be used");
}

} // namespace

class StandInAppliance::Impl
{
public:
    Impl(StandInAppliance& owner, Options options);
    ~Impl() { shutdown(); }

    // Not in the constructor: control requests call the owner, whose m_impl must be set.
    void startControl();
    void shutdown();
    void bindAll(); // with m_lifecycleMutex held
    void servePortal(Connection& connection, std::size_t index, const ListenAddress& where);
    int answerRequest(Connection& connection, const HttpRequest& request,
                      const std::optional<ScriptedAction>& action);
    void serveControl(Connection& connection);
    void report(const LoggedRequest& entry, int status) const;

    StandInAppliance& m_owner;
    const std::function<void(const LoggedRequest&, int)> m_onAnswered;
    SslContextPtr m_tls;
    PortalSessions m_sessions;
    ScriptBook m_scripts;
    RequestLog m_log;

    // Stop and start run one at a time under the lifecycle lock, which is held while
    // connection threads are joined; anything a connection thread may call takes only the
    // state lock.
    std::mutex m_lifecycleMutex;
    mutable std::mutex m_stateMutex;
    std::vector<ListenAddress> m_addresses;
    bool m_listening = false;
    std::optional<ListenAddress> m_controlAddress;

    // Last, so that they go first: their threads use everything above.
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::unique_ptr<Listener> m_control;
};

StandInAppliance::Impl::Impl(StandInAppliance& owner, Options options)
    : m_owner(owner)
    , m_onAnswered(std::move(options.onAnswered))
    , m_sessions(options.sessionLifetime)
    , m_scripts(options.listeners.size())
    , m_addresses(options.listeners)
{
    for (const ListenAddress& where : m_addresses)
        requireLoopback(where);
    if (options.control) {
        requireLoopback(*options.control);
        if (options.control->scheme != Scheme::http)
            throw std::invalid_argument("the control listener speaks plain HTTP only");
    }
    const bool needsTls = !options.certificateFile.empty() || !options.keyFile.empty()
        || std::any_of(m_addresses.begin(), m_addresses.end(),
                       [](const ListenAddress& where) { return where.scheme == Scheme::https; });
    if (needsTls)
        m_tls = makeServerContext(options.certificateFile, options.keyFile);
    for (const Account& account : options.accounts) {
        m_sessions.addAccount(account.user, account.password);
        if (account.blocked)
            m_sessions.blockUser(account.user);
    }

    m_controlAddress = options.control;

    std::lock_guard lock(m_lifecycleMutex);
    bindAll();
}

void StandInAppliance::Impl::startControl()
{
    if (!m_controlAddress)
        return;
    m_control = std::make_unique<Listener>(
        *m_controlAddress, nullptr,
        [this](Connection& connection, const ListenAddress&) { serveControl(connection); });
    std::lock_guard lock(m_stateMutex);
    m_controlAddress = m_control->address();
}

void StandInAppliance::Impl::shutdown()
{
    // Control requests may be waiting on the log; they must return before their listener
    // can join them.
    m_log.close();
    m_control.reset();
    std::lock_guard lock(m_lifecycleMutex);
    m_listeners.clear();
}

void StandInAppliance::Impl::bindAll()
{
    std::vector<ListenAddress> addresses;
    {
        std::lock_guard lock(m_stateMutex);
        addresses = m_addresses;
    }
    std::vector<std::unique_ptr<Listener>> started;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        started.push_back(std::make_unique<Listener>(
            addresses[i], m_tls.get(),
            [this, i](Connection& connection, const ListenAddress& where) {
                servePortal(connection, i, where);
            }));
        // A restart must come back on the same port, also where the system picked it.
        addresses[i].port = started.back()->address().port;
    }
    m_listeners = std::move(started);
    std::lock_guard lock(m_stateMutex);
    m_addresses = std::move(addresses);
    m_listening = true;
}

void StandInAppliance::Impl::servePortal(Connection& connection, std::size_t index,
                                         const ListenAddress& where)
{
    LoggedRequest entry;
    entry.listenerIndex = index;
    entry.listener = where;
    entry.remoteAddress = connection.remoteAddress();

    if (m_scripts.takeHandshakeFault(index)) {
        entry.treatment = "failed-handshake";
        m_log.append(entry);
        connection.answerGarbage();
        report(entry, 0);
        return;
    }
    if (!connection.handshake()) {
        // Logged, so a test sees a client that gave up in the handshake (one that refused the
        // certificate, say) and sent nothing.
        entry.treatment = "handshake-only";
        m_log.append(entry);
        report(entry, 0);
        return;
    }
    const auto head = connection.readHead();
    if (!head)
        return;
    const auto request = head->complete ? parseRequestHead(head->text) : std::nullopt;
    if (!request) {
        entry.treatment = "unreadable";
        m_log.append(entry);
        report(entry, sendAnswer(connection, Answer { .status = 400, .body = "bad request" }));
        return;
    }

    entry.method = request->method;
    entry.target = request->target;
    entry.head = head->text;
    entry.path = request->path;
    entry.query = request->query;
    entry.userAgent = request->header("User-Agent").value_or("");
    entry.acceptEncoding = request->header("Accept-Encoding");
    const auto action = m_scripts.takeFor(index, classifyExchange(*request));
    entry.treatment = treatmentOf(action);
    m_log.append(entry);
    report(entry, answerRequest(connection, *request, action));
}

int StandInAppliance::Impl::answerRequest(Connection& connection, const HttpRequest& request,
                                          const std::optional<ScriptedAction>& action)
{
    const auto usualAnswer = [&] {
        return portalAnswer(request, connection.remoteAddress(), m_sessions);
    };
    if (!action)
        return sendAnswer(connection, usualAnswer());
    if (const auto* answer = std::get_if<Answer>(&*action))
        return sendAnswer(connection, *answer);

    const FaultRule& fault = std::get<FaultRule>(*action);
    switch (fault.fault) {
    case Fault::resetMidAnswer:
        return sendResetMidAnswer(connection, usualAnswer());
    case Fault::truncatedBody:
        return sendTruncatedAnswer(connection, usualAnswer());
    case Fault::hugeBody:
        return sendHugeBody(connection);
    case Fault::slowAnswer:
        // The appliance is slow to get to the request at all: nothing changes before the wait.
        if (!connection.pause(fault.delay))
            return 0;
        return sendAnswer(connection, usualAnswer());
    case Fault::failedHandshake:
        break; // taken when the connection was accepted
    case Fault::dripFed:
        return sendDripFed(connection, usualAnswer(), fault.delay);
    case Fault::endlessChunked:
        return sendEndlessChunked(connection);
    case Fault::compressed:
        return sendCompressed(connection, usualAnswer(), fault.encoding);
    case Fault::echo:
        return sendAnswer(connection, echoOf(request));
    case Fault::endlessHeaders:
        return sendEndlessHeaders(connection);
    case Fault::longStatusLine:
        return sendLongStatusLine(connection, usualAnswer(), fault.size);
    }
    return sendAnswer(connection, usualAnswer());
}

void StandInAppliance::Impl::serveControl(Connection& connection)
{
    const auto head = connection.readHead();
    if (!head)
        return;
    const auto request = head->complete ? parseRequestHead(head->text) : std::nullopt;
    if (!request || request->header("Transfer-Encoding")) {
        sendAnswer(connection, Answer { .status = 400, .body = "bad request" });
        return;
    }

    QueryParams params = request->query;
    if (const auto lengthText = request->header("Content-Length")) {
        std::size_t length = 0;
        const auto [end, error] =
            std::from_chars(lengthText->data(), lengthText->data() + lengthText->size(), length);
        if (error != std::errc() || end != lengthText->data() + lengthText->size()
            || length > maxControlBody) {
            sendAnswer(connection,
                       Answer { .status = 400, .body = "bad or too large Content-Length" });
            return;
        }
        const auto body = connection.readBody(length);
        if (!body)
            return;
        const std::string type =
            request->header("Content-Type").value_or("application/x-www-form-urlencoded");
        if (type.starts_with("application/x-www-form-urlencoded")) {
            const QueryParams form = parseQuery(*body);
            params.insert(params.end(), form.begin(), form.end());
        }
    }
    sendAnswer(connection, controlAnswer(request->method, request->path, params, m_owner));
}

void StandInAppliance::Impl::report(const LoggedRequest& entry, int status) const
{
    if (m_onAnswered)
        m_onAnswered(entry, status);
}

StandInAppliance::StandInAppliance(Options options)
    : m_impl(std::make_unique<Impl>(*this, std::move(options)))
{
    m_impl->startControl();
}

StandInAppliance::~StandInAppliance()
{
    // Before m_impl goes: control requests still running call back into this object.
    m_impl->shutdown();
}

std::vector<ListenAddress> StandInAppliance::listeners() const
{
    std::lock_guard lock(m_impl->m_stateMutex);
    return m_impl->m_addresses;
}

std::string StandInAppliance::url(std::size_t listener) const
{
    return toUrl(listeners().at(listener));
}

std::optional<ListenAddress> StandInAppliance::controlAddress() const
{
    std::lock_guard lock(m_impl->m_stateMutex);
    return m_impl->m_controlAddress;
}

void StandInAppliance::addAccount(const std::string& user, const std::string& password)
{
    m_impl->m_sessions.addAccount(user, password);
}

void StandInAppliance::blockUser(const std::string& user)
{
    m_impl->m_sessions.blockUser(user);
}

std::vector<SessionInfo> StandInAppliance::sessions() const
{
    return m_impl->m_sessions.sessions();
}

void StandInAppliance::expireSessions()
{
    m_impl->m_sessions.expireAll();
}

void StandInAppliance::expireSession(const std::string& user)
{
    m_impl->m_sessions.expire(user);
}

void StandInAppliance::kickOut(const std::string& user)
{
    m_impl->m_sessions.kickOut(user);
}

void StandInAppliance::dailyLogout()
{
    m_impl->m_sessions.dailyLogout();
}

void StandInAppliance::setSessionLifetime(std::chrono::milliseconds lifetime)
{
    m_impl->m_sessions.setLifetime(lifetime);
}

void StandInAppliance::scriptAnswer(AnswerRule rule)
{
    m_impl->m_scripts.add(std::move(rule));
}

void StandInAppliance::injectFault(FaultRule rule)
{
    m_impl->m_scripts.add(std::move(rule));
}

void StandInAppliance::clearScripts()
{
    m_impl->m_scripts.clear();
}

std::string StandInAppliance::certificatePem() const
{
    return m_impl->m_tls ? certificatePemOf(m_impl->m_tls.get()) : std::string();
}

std::vector<LoggedRequest> StandInAppliance::requestLog() const
{
    return m_impl->m_log.snapshot();
}

void StandInAppliance::clearRequestLog()
{
    m_impl->m_log.clear();
}

bool StandInAppliance::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    return m_impl->m_log.waitUntil(
        [count](const std::vector<LoggedRequest>& log) { return log.size() >= count; }, timeout);
}

bool StandInAppliance::waitUntil(const std::function<bool(const std::vector<LoggedRequest>&)>& done,
                                 std::chrono::milliseconds timeout) const
{
    return m_impl->m_log.waitUntil(done, timeout);
}

void StandInAppliance::stopListeners(SessionsOnStop sessions)
{
    std::lock_guard lock(m_impl->m_lifecycleMutex);
    m_impl->m_listeners.clear();
    {
        std::lock_guard state(m_impl->m_stateMutex);
        m_impl->m_listening = false;
    }
    if (sessions == SessionsOnStop::lose)
        m_impl->m_sessions.expireAll();
}

void StandInAppliance::startListeners()
{
    std::lock_guard lock(m_impl->m_lifecycleMutex);
    if (listening())
        return;
    m_impl->bindAll();
}

bool StandInAppliance::listening() const
{
    std::lock_guard lock(m_impl->m_stateMutex);
    return m_impl->m_listening;
}

} // namespace standin
