#include "settings/TrustedIdentities.h"

#include "app/Ipv4Address.h"

#include <charconv>

namespace velmora {

namespace {

bool isUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

bool isIdentity(std::string_view text)
{
    constexpr std::size_t pairs = 32;
    if (text.size() != pairs * 3 - 1)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2 ? text[i] != ':' : !isUpperHexDigit(text[i]))
            return false;
    }
    return true;
}

TrustedIdentities TrustedIdentities::fromText(std::string_view text)
{
    TrustedIdentities identities;
    while (!text.empty()) {
        const std::size_t end = text.find(';');
        const std::string_view entry = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        const std::size_t equals = entry.find('=');
        const std::size_t colon = entry.rfind(':', equals);
        if (equals == std::string_view::npos || colon == std::string_view::npos)
            continue;
        const std::string_view address = entry.substr(0, colon);
        const std::string_view portText = entry.substr(colon + 1, equals - colon - 1);
        const std::string_view identity = entry.substr(equals + 1);
        std::int32_t port = 0;
        const auto [portEnd, error] =
            std::from_chars(portText.data(), portText.data() + portText.size(), port);
        const std::optional<std::string> canonical = canonicalIpv4(address);
        if (!canonical || portText.empty() || error != std::errc()
            || portEnd != portText.data() + portText.size() || port < 1 || port > 65535
            || (!isIdentity(identity) && identity != plainHttpMark))
            continue;
        // An entry written under another spelling of the address (before addresses were kept
        // canonical) does not replace one written under the canonical form.
        if (*canonical != address && identities.m_entries.count({ *canonical, port }))
            continue;
        identities.m_entries[{ *canonical, port }] = identity;
    }
    return identities;
}

std::string TrustedIdentities::text() const
{
    std::string text;
    for (const auto& [endpoint, identity] : m_entries) {
        if (!text.empty())
            text += ';';
        text += endpoint.first + ':' + std::to_string(endpoint.second) + '=' + identity;
    }
    return text;
}

std::string TrustedIdentities::identity(const std::string& address, std::int32_t port) const
{
    const std::optional<std::string> canonical = canonicalIpv4(address);
    if (!canonical)
        return {};
    const auto found = m_entries.find({ *canonical, port });
    return found == m_entries.end() || found->second == plainHttpMark ? std::string()
                                                                      : found->second;
}

std::string TrustedIdentities::anyIdentityOf(const std::string& address) const
{
    const std::optional<std::string> canonical = canonicalIpv4(address);
    if (!canonical)
        return {};
    for (auto found = m_entries.lower_bound({ *canonical, 0 });
         found != m_entries.end() && found->first.first == *canonical; ++found) {
        if (found->second != plainHttpMark)
            return found->second;
    }
    return {};
}

void TrustedIdentities::trust(const std::string& address, std::int32_t port,
                              const std::string& identity)
{
    // Only an address that can be contacted can be pinned.
    if (const std::optional<std::string> canonical = canonicalIpv4(address))
        m_entries[{ *canonical, port }] = identity;
}

void TrustedIdentities::trustPlainHttp(const std::string& address, std::int32_t port)
{
    trust(address, port, plainHttpMark);
}

bool TrustedIdentities::trustsPlainHttp(const std::string& address, std::int32_t port) const
{
    const std::optional<std::string> canonical = canonicalIpv4(address);
    if (!canonical)
        return false;
    const auto found = m_entries.find({ *canonical, port });
    return found != m_entries.end() && found->second == plainHttpMark;
}

} // namespace velmora
