#include "ApplianceTypes.h"

#include <arpa/inet.h>
#include <charconv>
#include <stdexcept>

namespace standin {

bool isLoopbackAddress(std::string_view address)
{
    const std::string text(address);
    in_addr parsed {};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    return (ntohl(parsed.s_addr) >> 24) == 127;
}

ListenAddress parseListenAddress(std::string_view text)
{
    const auto fail = [text](const std::string& why) {
        throw std::invalid_argument("listen address \"" + std::string(text) + "\": " + why);
    };

    const auto firstColon = text.find(':');
    if (firstColon == std::string_view::npos)
        fail("expected ADDRESS:PORT[:http|https]");
    const std::string_view address = text.substr(0, firstColon);
    std::string_view portText = text.substr(firstColon + 1);
    std::string_view schemeText;
    if (const auto secondColon = portText.find(':'); secondColon != std::string_view::npos) {
        schemeText = portText.substr(secondColon + 1);
        portText = portText.substr(0, secondColon);
    }

    if (!isLoopbackAddress(address))
        fail("only IPv4 loopback addresses (127.0.0.0/8) may be used");

    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size()
        || port > 65535)
        fail("the port must be a number from 0 to 65535");

    ListenAddress result { std::string(address), static_cast<std::uint16_t>(port), Scheme::https };
    if (schemeText == "http")
        result.scheme = Scheme::http;
    else if (schemeText == "https")
        result.scheme = Scheme::https;
    else if (schemeText.empty())
        result.scheme = port == 80 ? Scheme::http : Scheme::https;
    else
        fail("the scheme must be http or https");
    return result;
}

std::string toUrl(const ListenAddress& where)
{
    return std::string(where.scheme == Scheme::https ? "https" : "http") + "://" + where.address
        + ":" + std::to_string(where.port);
}

std::optional<std::string> lastValue(const QueryParams& params, std::string_view name)
{
    std::optional<std::string> value;
    for (const auto& [key, text] : params)
        if (key == name)
            value = text;
    return value;
}

} // namespace standin
