#include "ControlApi.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <functional>
#include <stdexcept>
#include <string_view>

namespace standin {
namespace {

using Json = nlohmann::ordered_json;
using Handler = std::function<Json(const QueryParams&, StandInAppliance&)>;

struct Route
{
    const char* method;
    const char* path;
    const char* parameters;
    Handler handle;
};

std::string required(const QueryParams& params, std::string_view name)
{
    auto value = lastValue(params, name);
    if (!value)
        throw std::invalid_argument("missing parameter \"" + std::string(name) + "\"");
    return *value;
}

long long number(std::string_view text, std::string_view name)
{
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0)
        throw std::invalid_argument("\"" + std::string(name) + "\" must be a whole number, not \""
                                    + std::string(text) + "\"");
    return value;
}

std::chrono::milliseconds millisecondsOr(const QueryParams& params, std::string_view name,
                                         std::chrono::milliseconds fallback)
{
    const auto text = lastValue(params, name);
    return text ? std::chrono::milliseconds(number(*text, name)) : fallback;
}

Exchange exchangeOf(const QueryParams& params)
{
    const std::string text = lastValue(params, "exchange").value_or("any");
    if (text == "any")
        return Exchange::any;
    if (text == "probe")
        return Exchange::probe;
    if (text == "login")
        return Exchange::login;
    if (text == "keep-alive")
        return Exchange::keepAlive;
    if (text == "logout")
        return Exchange::logout;
    if (text == "other")
        return Exchange::other;
    throw std::invalid_argument("exchange must be any, probe, login, keep-alive, logout or other");
}

Times timesOf(const QueryParams& params)
{
    const std::string text = lastValue(params, "times").value_or("once");
    if (text == "once")
        return Times::once();
    if (text == "sticky" || text == "until-cleared")
        return Times::untilCleared();
    return Times::n(static_cast<int>(std::min<long long>(number(text, "times"), 1000000)));
}

// "ADDRESS:PORT" as the listener is bound, or its index; absent: every listener.
std::optional<std::size_t> listenerOf(const QueryParams& params, const StandInAppliance& appliance)
{
    const auto text = lastValue(params, "listener");
    if (!text)
        return std::nullopt;
    const auto listeners = appliance.listeners();
    for (std::size_t i = 0; i < listeners.size(); ++i)
        if (*text == listeners[i].address + ":" + std::to_string(listeners[i].port))
            return i;
    if (text->find(':') == std::string::npos)
        return static_cast<std::size_t>(number(*text, "listener"));
    throw std::invalid_argument("no listener at " + *text);
}

Fault faultOf(const std::string& text)
{
    if (text == "reset")
        return Fault::resetMidAnswer;
    if (text == "truncated")
        return Fault::truncatedBody;
    if (text == "huge")
        return Fault::hugeBody;
    if (text == "slow")
        return Fault::slowAnswer;
    if (text == "handshake")
        return Fault::failedHandshake;
    if (text == "drip")
        return Fault::dripFed;
    if (text == "endless-chunked")
        return Fault::endlessChunked;
    if (text == "compressed")
        return Fault::compressed;
    if (text == "echo")
        return Fault::echo;
    if (text == "endless-headers")
        return Fault::endlessHeaders;
    if (text == "long-status-line")
        return Fault::longStatusLine;
    throw std::invalid_argument("fault must be reset, truncated, huge, slow, handshake, drip, "
                                "endless-chunked, compressed, echo, endless-headers or "
                                "long-status-line");
}

const char* stateName(SessionState state)
{
    switch (state) {
    case SessionState::live:
        return "live";
    case SessionState::kickedOut:
        return "kicked-out";
    case SessionState::blocked:
        return "blocked";
    case SessionState::dailyLogout:
        return "daily-logout";
    }
    return "live";
}

Json toJson(const LoggedRequest& entry)
{
    Json query = Json::array();
    for (const auto& [name, value] : entry.query)
        query.push_back(Json::array({ name, value }));
    return Json { { "listener", entry.listenerIndex },
                  { "url", toUrl(entry.listener) },
                  { "method", entry.method },
                  { "target", entry.target },
                  { "path", entry.path },
                  { "query", query },
                  { "user_agent", entry.userAgent },
                  { "accept_encoding",
                    entry.acceptEncoding ? Json(*entry.acceptEncoding) : Json(nullptr) },
                  { "remote_address", entry.remoteAddress },
                  { "treatment", entry.treatment } };
}

Json listenersJson(const StandInAppliance& appliance)
{
    Json list = Json::array();
    const auto listeners = appliance.listeners();
    for (std::size_t i = 0; i < listeners.size(); ++i)
        list.push_back(
            Json { { "index", i },
                   { "url", toUrl(listeners[i]) },
                   { "address", listeners[i].address },
                   { "port", listeners[i].port },
                   { "scheme", listeners[i].scheme == Scheme::https ? "https" : "http" } });
    return Json { { "listening", appliance.listening() }, { "listeners", list } };
}

Json done()
{
    return Json { { "ok", true } };
}

const std::vector<Route>& routes()
{
    static const std::vector<Route> table {
        { "GET", "/listeners", "",
          [](const QueryParams&, StandInAppliance& appliance) {
              return listenersJson(appliance);
          } },
        { "POST", "/listeners/stop", "sessions=keep|lose",
          [](const QueryParams& params, StandInAppliance& appliance) {
              const std::string sessions = lastValue(params, "sessions").value_or("keep");
              if (sessions != "keep" && sessions != "lose")
                  throw std::invalid_argument("sessions must be keep or lose");
              appliance.stopListeners(sessions == "keep" ? SessionsOnStop::keep
                                                         : SessionsOnStop::lose);
              return done();
          } },
        { "POST", "/listeners/start", "",
          [](const QueryParams&, StandInAppliance& appliance) {
              appliance.startListeners();
              return listenersJson(appliance);
          } },
        { "POST", "/accounts", "user, password",
          [](const QueryParams& params, StandInAppliance& appliance) {
              appliance.addAccount(required(params, "user"), required(params, "password"));
              return done();
          } },
        { "POST", "/accounts/block", "user",
          [](const QueryParams& params, StandInAppliance& appliance) {
              appliance.blockUser(required(params, "user"));
              return done();
          } },
        { "GET", "/sessions", "",
          [](const QueryParams&, StandInAppliance& appliance) {
              Json list = Json::array();
              for (const SessionInfo& session : appliance.sessions())
                  list.push_back(Json { { "userid", session.userid },
                                        { "username", session.username },
                                        { "k1", session.k1 },
                                        { "remote_address", session.remoteAddress },
                                        { "state", stateName(session.state) },
                                        { "expired", session.expired } });
              return list;
          } },
        { "POST", "/sessions/expire", "[user]",
          [](const QueryParams& params, StandInAppliance& appliance) {
              if (const auto user = lastValue(params, "user"))
                  appliance.expireSession(*user);
              else
                  appliance.expireSessions();
              return done();
          } },
        { "POST", "/sessions/kick", "user",
          [](const QueryParams& params, StandInAppliance& appliance) {
              appliance.kickOut(required(params, "user"));
              return done();
          } },
        { "POST", "/sessions/daily-logout", "",
          [](const QueryParams&, StandInAppliance& appliance) {
              appliance.dailyLogout();
              return done();
          } },
        { "POST", "/sessions/lifetime", "seconds | ms",
          [](const QueryParams& params, StandInAppliance& appliance) {
              const auto seconds = lastValue(params, "seconds");
              appliance.setSessionLifetime(
                  seconds ? std::chrono::seconds(number(*seconds, "seconds"))
                          : std::chrono::milliseconds(number(required(params, "ms"), "ms")));
              return done();
          } },
        { "POST", "/script",
          "[exchange], status, [body], [content_type], [location], [delay_ms], [times], [listener]",
          [](const QueryParams& params, StandInAppliance& appliance) {
              AnswerRule rule;
              rule.exchange = exchangeOf(params);
              rule.answer.status =
                  static_cast<int>(std::min(number(required(params, "status"), "status"), 1000LL));
              rule.answer.body = lastValue(params, "body").value_or("");
              if (const auto type = lastValue(params, "content_type"))
                  rule.answer.contentType = *type;
              rule.answer.location = lastValue(params, "location").value_or("");
              rule.answer.delay = millisecondsOr(params, "delay_ms", std::chrono::milliseconds(0));
              rule.times = timesOf(params);
              rule.listener = listenerOf(params, appliance);
              appliance.scriptAnswer(std::move(rule));
              return done();
          } },
        { "POST", "/fault", "fault, [exchange], [times], [listener], [delay_ms], [size]",
          [](const QueryParams& params, StandInAppliance& appliance) {
              FaultRule rule;
              rule.fault = faultOf(required(params, "fault"));
              rule.exchange = exchangeOf(params);
              rule.times = timesOf(params);
              rule.listener = listenerOf(params, appliance);
              rule.delay = millisecondsOr(params, "delay_ms", rule.delay);
              if (const auto size = lastValue(params, "size"))
                  rule.size = static_cast<std::size_t>(number(*size, "size"));
              appliance.injectFault(rule);
              return done();
          } },
        { "POST", "/script/clear", "",
          [](const QueryParams&, StandInAppliance& appliance) {
              appliance.clearScripts();
              return done();
          } },
        { "GET", "/log", "",
          [](const QueryParams&, StandInAppliance& appliance) {
              Json list = Json::array();
              for (const LoggedRequest& entry : appliance.requestLog())
                  list.push_back(toJson(entry));
              return list;
          } },
        { "POST", "/log/clear", "",
          [](const QueryParams&, StandInAppliance& appliance) {
              appliance.clearRequestLog();
              return done();
          } },
        { "GET", "/log/wait", "count, [timeout_ms] (at most 30000)",
          [](const QueryParams& params, StandInAppliance& appliance) {
              const auto count =
                  static_cast<std::size_t>(number(required(params, "count"), "count"));
              const auto timeout =
                  std::min(millisecondsOr(params, "timeout_ms", std::chrono::milliseconds(5000)),
                           std::chrono::milliseconds(30000));
              const bool reached = appliance.waitForRequests(count, timeout);
              return Json { { "reached", reached }, { "count", appliance.requestLog().size() } };
          } },
    };
    return table;
}

Json routeList()
{
    Json list = Json::array();
    for (const Route& route : routes())
        list.push_back(std::string(route.method) + " " + route.path
                       + (*route.parameters ? std::string(" ") + route.parameters : ""));
    return list;
}

Answer jsonAnswer(int status, const Json& body)
{
    // Logged queries may hold any bytes; the control answer must not fail on them.
    return Answer { .status = status,
                    .body = body.dump(-1, ' ', false, Json::error_handler_t::replace),
                    .contentType = "application/json" };
}

} // namespace

Answer controlAnswer(const std::string& method, const std::string& path, const QueryParams& params,
                     StandInAppliance& appliance)
{
    if (path == "/" && method == "GET")
        return jsonAnswer(200, Json { { "endpoints", routeList() } });
    bool pathKnown = false;
    for (const Route& route : routes()) {
        if (path != route.path)
            continue;
        pathKnown = true;
        if (method != route.method)
            continue;
        try {
            return jsonAnswer(200, route.handle(params, appliance));
        } catch (const std::invalid_argument& error) {
            return jsonAnswer(400, Json { { "error", error.what() } });
        } catch (const std::exception& error) {
            return jsonAnswer(500, Json { { "error", error.what() } });
        }
    }
    if (pathKnown)
        return jsonAnswer(405, Json { { "error", "wrong method for " + path } });
    return jsonAnswer(404, Json { { "error", "no such endpoint; GET / lists them" } });
}

} // namespace standin
