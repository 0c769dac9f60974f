#pragma once

#include "ApplianceTypes.h"

#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace standin {

// The appliance's accounts and portal sessions, and the JSON answers of the login and
// keep-alive exchanges. One session per user: a new login replaces the user's old one, so
// the sessions never outnumber the accounts.
class PortalSessions
{
public:
    explicit PortalSessions(std::chrono::milliseconds lifetime);

    void addAccount(const std::string& user, const std::string& password);
    void blockUser(const std::string& user);

    // Each returns the JSON body of the answer.
    std::string login(const std::string& user, const std::string& password,
                      const std::string& remoteAddress);
    std::string keepAlive(const std::string& userid, const std::string& username,
                          const std::string& k1);
    // Ends the sessions opened from `remoteAddress`; false when there were none.
    bool logout(const std::string& remoteAddress);

    std::vector<SessionInfo> sessions() const;
    void expireAll();
    void expire(const std::string& user);
    void kickOut(const std::string& user);
    void dailyLogout();
    void setLifetime(std::chrono::milliseconds lifetime);

private:
    using Clock = std::chrono::steady_clock;

    struct Credentials
    {
        std::string password;
        bool blocked = false;
    };
    struct Session
    {
        SessionInfo info;
        Clock::time_point lastSeen;
    };

    bool isExpired(const Session& session, Clock::time_point now) const;
    void setState(const std::string& user, SessionState state);

    mutable std::mutex m_mutex;
    std::map<std::string, Credentials> m_accounts;
    std::map<long long, Session> m_sessions; // by userid
    long long m_nextUserid = 1;
    std::mt19937_64 m_random;
    std::chrono::milliseconds m_lifetime;
};

} // namespace standin
