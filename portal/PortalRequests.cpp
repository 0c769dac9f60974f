#include "portal/PortalRequests.h"

namespace velmora {

namespace {

// Both fixed parameters carry the same value; the portal script expects them on every request.
constexpr std::string_view fixedParameters = "ms=kq52vnwpex317t9hmzol8&mes=kq52vnwpex317t9hmzol8";

std::string loginPathWith(std::string_view user, std::string_view encodedPassword)
{
    std::string path = "/index.php?pageto=c&";
    path += fixedParameters;
    path += "&fixeduserid=";
    path += percentEncoded(user);
    path += "&loginMethod=6&password=";
    path += encodedPassword;
    path += "&portal=1&stage=9";
    return path;
}

} // namespace

std::string percentEncoded(std::string_view value)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(value.size() * 3);
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')
            || (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_'
            || byte == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string loginPath(std::string_view user, std::string_view password)
{
    return loginPathWith(user, percentEncoded(password));
}

std::string maskedLoginPath(std::string_view user)
{
    return loginPathWith(user, "********");
}

std::string keepAlivePath(std::string_view userid, std::string_view username, std::string_view k1)
{
    std::string path = "/index.php?pageto=ka&";
    path += fixedParameters;
    path += "&u=";
    path += percentEncoded(userid);
    path += "&username=";
    path += percentEncoded(username);
    path += "&k1=";
    path += percentEncoded(k1);
    return path;
}

std::string logoutPath()
{
    std::string path = "/index.php?pageto=fbo&operation=4&";
    path += fixedParameters;
    return path;
}

} // namespace velmora
