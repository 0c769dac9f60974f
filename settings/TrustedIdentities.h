#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace velmora {

// The value of the settings key that holds the appliances' identities.
inline constexpr char16_t trustedIdentitiesValueName[] = u"trusted_identities";

// The identity each appliance endpoint (address and port) showed at the first login over HTTPS,
// or the one the user trusted since: the appliance that gets the user's password. An endpoint may
// instead be trusted over plain HTTP, by the user's word. Stored as one text: "ADDRESS:PORT=VALUE"
// entries joined by ";", VALUE an identity as HttpClient.h writes it or plainHttpMark. Addresses
// are kept in their canonical form, whatever spelling they are given in.
class TrustedIdentities
{
public:
    // Entries that do not read as one are left out: a damaged value trusts nothing it cannot
    // read, and the next login over HTTPS trusts afresh.
    static TrustedIdentities fromText(std::string_view text);
    std::string text() const;

    // Empty when there is none.
    std::string identity(const std::string& address, std::int32_t port) const;
    // Empty when no endpoint of the address has one; else one of them.
    std::string anyIdentityOf(const std::string& address) const;
    bool empty() const { return m_entries.empty(); }

    void trust(const std::string& address, std::int32_t port, const std::string& identity);
    // The user trusts this one endpoint over plain HTTP: its own identity, if it had one, is
    // forgotten, since it now answers without any. The identities of the address's other ports
    // stay, and still guard HTTPS there.
    void trustPlainHttp(const std::string& address, std::int32_t port);
    bool trustsPlainHttp(const std::string& address, std::int32_t port) const;

    bool operator==(const TrustedIdentities&) const = default;

private:
    std::map<std::pair<std::string, std::int32_t>, std::string> m_entries;
};

// What an endpoint trusted over plain HTTP holds in place of an identity.
inline constexpr char plainHttpMark[] = "plain-http";

// 32 upper-case hex pairs joined by colons.
bool isIdentity(std::string_view text);

} // namespace velmora
