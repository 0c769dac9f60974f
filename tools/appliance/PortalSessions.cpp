#include "PortalSessions.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>

namespace standin {
namespace {

using Json = nlohmann::ordered_json;

std::string failure(const std::string& errors)
{
    return Json { { "status", "fail" }, { "errors", errors } }.dump();
}

// The client echoes the user name as the JSON text of the login answer's string, so a name
// with a quotation mark comes back escaped; both spellings name the same session.
bool sameUsername(const std::string& sent, const std::string& username)
{
    if (sent == username)
        return true;
    const std::string escaped = Json(username).dump();
    return sent == escaped.substr(1, escaped.size() - 2);
}

std::string endedText(SessionState state)
{
    switch (state) {
    case SessionState::kickedOut:
        return "You have been kicked out by the administrator";
    case SessionState::blocked:
        return "Your account is blocked by administrator";
    case SessionState::dailyLogout:
        return "Your session was closed by the Daily Logout";
    case SessionState::live:
        break;
    }
    return "Session Expired";
}

} // namespace

PortalSessions::PortalSessions(std::chrono::milliseconds lifetime)
    : m_random(std::random_device {}())
    , m_lifetime(lifetime)
{
    if (lifetime.count() <= 0)
        throw std::invalid_argument("the session lifetime must be positive");
}

void PortalSessions::addAccount(const std::string& user, const std::string& password)
{
    if (user.empty())
        throw std::invalid_argument("an account needs a user name");
    std::lock_guard lock(m_mutex);
    m_accounts[user] = Credentials { password, false };
}

void PortalSessions::blockUser(const std::string& user)
{
    std::lock_guard lock(m_mutex);
    const auto account = m_accounts.find(user);
    if (account == m_accounts.end())
        throw std::invalid_argument("no account named \"" + user + "\"");
    account->second.blocked = true;
    for (auto& [userid, session] : m_sessions)
        if (session.info.username == user)
            session.info.state = SessionState::blocked;
}

std::string PortalSessions::login(const std::string& user, const std::string& password,
                                  const std::string& remoteAddress)
{
    std::lock_guard lock(m_mutex);
    const auto account = m_accounts.find(user);
    if (account == m_accounts.end() || account->second.password != password)
        return failure("Invalid username or password");
    if (account->second.blocked)
        return failure("Your account is blocked by administrator");

    std::erase_if(m_sessions,
                  [&user](const auto& entry) { return entry.second.info.username == user; });
    Session session;
    session.info.userid = m_nextUserid++;
    session.info.username = user;
    session.info.k1 = std::uniform_int_distribution<long long>(1, 2147483647)(m_random);
    session.info.remoteAddress = remoteAddress;
    session.lastSeen = Clock::now();
    m_sessions.emplace(session.info.userid, session);

    return Json {
        { "status", "success" },
        { "data",
          { { "userid", session.info.userid }, { "username", user }, { "k1", session.info.k1 } } }
    }.dump();
}

std::string PortalSessions::keepAlive(const std::string& userid, const std::string& username,
                                      const std::string& k1)
{
    std::lock_guard lock(m_mutex);
    const auto found = std::find_if(m_sessions.begin(), m_sessions.end(), [&](const auto& entry) {
        const SessionInfo& info = entry.second.info;
        return std::to_string(info.userid) == userid && std::to_string(info.k1) == k1
            && sameUsername(username, info.username);
    });
    // Values that fit no session leave the sessions alone: they may be someone's stale copy.
    if (found == m_sessions.end())
        return failure("Session Expired");

    Session& session = found->second;
    const auto now = Clock::now();
    if (session.info.state == SessionState::live && !isExpired(session, now)) {
        session.lastSeen = now;
        return Json { { "status", "success" } }.dump();
    }
    const std::string reason = endedText(session.info.state);
    m_sessions.erase(found);
    return failure(reason);
}

bool PortalSessions::logout(const std::string& remoteAddress)
{
    std::lock_guard lock(m_mutex);
    return std::erase_if(m_sessions,
                         [&remoteAddress](const auto& entry) {
                             return entry.second.info.remoteAddress == remoteAddress;
                         })
        > 0;
}

std::vector<SessionInfo> PortalSessions::sessions() const
{
    std::lock_guard lock(m_mutex);
    const auto now = Clock::now();
    std::vector<SessionInfo> list;
    for (const auto& [userid, session] : m_sessions) {
        list.push_back(session.info);
        list.back().expired = isExpired(session, now);
    }
    return list;
}

void PortalSessions::expireAll()
{
    std::lock_guard lock(m_mutex);
    m_sessions.clear();
}

void PortalSessions::expire(const std::string& user)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_sessions,
                  [&user](const auto& entry) { return entry.second.info.username == user; });
}

void PortalSessions::kickOut(const std::string& user)
{
    setState(user, SessionState::kickedOut);
}

void PortalSessions::dailyLogout()
{
    std::lock_guard lock(m_mutex);
    for (auto& [userid, session] : m_sessions)
        if (session.info.state == SessionState::live)
            session.info.state = SessionState::dailyLogout;
}

void PortalSessions::setLifetime(std::chrono::milliseconds lifetime)
{
    if (lifetime.count() <= 0)
        throw std::invalid_argument("the session lifetime must be positive");
    std::lock_guard lock(m_mutex);
    m_lifetime = lifetime;
}

bool PortalSessions::isExpired(const Session& session, Clock::time_point now) const
{
    return now - session.lastSeen > m_lifetime;
}

void PortalSessions::setState(const std::string& user, SessionState state)
{
    std::lock_guard lock(m_mutex);
    for (auto& [userid, session] : m_sessions)
        if (session.info.username == user)
            session.info.state = state;
}

} // namespace standin
