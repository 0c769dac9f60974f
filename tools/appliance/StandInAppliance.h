#pragma once

#include "ApplianceTypes.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace standin {

// A loopback stand-in for the appliance's captive portal: the probe page and the login,
// keep-alive and logout exchanges, plus controls for tests (accounts, sessions, scripted
// answers, faults, a request log, outages). Every member is safe to call from any thread.
class StandInAppliance
{
public:
    // Binds every listener (and the control listener) before returning. Throws
    // std::invalid_argument for an address outside 127/8 and std::runtime_error when a
    // listener cannot bind or the certificate cannot be made or read.
    explicit StandInAppliance(Options options);
    ~StandInAppliance();
    StandInAppliance(const StandInAppliance&) = delete;
    StandInAppliance& operator=(const StandInAppliance&) = delete;

    // In the order given, with the ports as bound.
    std::vector<ListenAddress> listeners() const;
    std::string url(std::size_t listener) const;
    std::optional<ListenAddress> controlAddress() const;
    // The certificate its HTTPS listeners present, in PEM; empty without one.
    std::string certificatePem() const;

    void addAccount(const std::string& user, const std::string& password);
    void blockUser(const std::string& user); // throws std::invalid_argument for an unknown user

    std::vector<SessionInfo> sessions() const;
    void expireSessions();
    void expireSession(const std::string& user);
    void kickOut(const std::string& user);
    void dailyLogout();
    void setSessionLifetime(std::chrono::milliseconds lifetime);

    // Rules apply in the order added; the first that matches a request is used up by it.
    void scriptAnswer(AnswerRule rule);
    void injectFault(FaultRule rule);
    void clearScripts();

    std::vector<LoggedRequest> requestLog() const;
    void clearRequestLog();
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // `done` runs under the log's lock, on every change: it must not call the stand-in.
    bool waitUntil(const std::function<bool(const std::vector<LoggedRequest>&)>& done,
                   std::chrono::milliseconds timeout) const;

    // An outage: stop closes every listener and every open connection at once; start binds
    // the same addresses and ports again. The control listener stays up throughout.
    void stopListeners(SessionsOnStop sessions);
    void startListeners();
    bool listening() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace standin
