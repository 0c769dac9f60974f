#pragma once

#include "ApplianceTypes.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

struct HttpRequest
{
    std::string method;
    std::string target; // raw, as on the wire
    std::string path; // percent-decoded
    QueryParams query; // decoded, in order
    std::vector<std::pair<std::string, std::string>> headers;

    std::optional<std::string> header(std::string_view name) const; // name case-insensitive
    std::optional<std::string> param(std::string_view name) const; // the last value given
};

// Parses a request head (the request line and the header lines, without the blank line).
// Empty for anything that is not an HTTP/1.x request in origin form.
std::optional<HttpRequest> parseRequestHead(std::string_view head);

// Splits a raw query (or form body) on '&' and decodes names and values the way a PHP
// script sees them: "%XY" as the byte, '+' as a space, a malformed escape as it stands.
QueryParams parseQuery(std::string_view raw);
std::string percentDecode(std::string_view text, bool plusIsSpace);

// The raw target with the value of every "password" parameter replaced by ***.
std::string maskPassword(std::string_view target);

} // namespace standin
