#include "settings/TrustedIdentities.h"

#include <charconv>

namespace velmora {

namespace {

bool isUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// A dotted address of four numbers up to 255: all that an endpoint ever holds.
bool isAddress(std::string_view text)
{
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = text.find('.', start);
        const std::string_view part = text.substr(start, dot - start);
        int number = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), number);
        if (part.empty() || part.size() > 3 || error != std::errc()
            || end != part.data() + part.size() || number > 255)
            return false;
        ++parts;
        if (dot == std::string_view::npos)
            return parts == 4;
        start = dot + 1;
    }
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
        if (!isAddress(address) || portText.empty() || error != std::errc()
            || portEnd != portText.data() + portText.size() || port < 1 || port > 65535
            || !isIdentity(identity))
            continue;
        identities.trust(std::string(address), port, std::string(identity));
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
    const auto found = m_entries.find({ address, port });
    return found == m_entries.end() ? std::string() : found->second;
}

std::string TrustedIdentities::anyIdentityOf(const std::string& address) const
{
    const auto found = m_entries.lower_bound({ address, 0 });
    return found != m_entries.end() && found->first.first == address ? found->second
                                                                     : std::string();
}

void TrustedIdentities::trust(const std::string& address, std::int32_t port,
                              const std::string& identity)
{
    m_entries[{ address, port }] = identity;
}

void TrustedIdentities::forgetAddress(const std::string& address)
{
    std::erase_if(m_entries, [&](const auto& entry) { return entry.first.first == address; });
}

} // namespace velmora
