#pragma once

#include <string>
#include <string_view>

// The shape of the requests to the appliance's portal script.
namespace velmora {

inline constexpr char portalUserAgent[] = "VelmoraApp/1.0.0 (Windows NT 10.0; Win64; x64; rv:89.0)";

inline constexpr char networkFailureMessage[] =
    "Kindly check your network. We are not able to connect with Velmora Appliance.";
inline constexpr char connectionErrorMessage[] = "Connection error";

// Percent-encodes everything but the RFC 3986 unreserved characters, so that a value can never
// add, cut or change the parameters of the query it joins.
std::string percentEncoded(std::string_view value);

std::string loginPath(std::string_view user, std::string_view password);
// The login path as the console may show it: the password replaced by asterisks.
std::string maskedLoginPath(std::string_view user);
std::string keepAlivePath(std::string_view userid, std::string_view username, std::string_view k1);
std::string logoutPath();

} // namespace velmora
