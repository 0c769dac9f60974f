#include "HttpRequest.h"

#include <algorithm>
#include <cctype>

namespace standin {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x))
                   == std::tolower(static_cast<unsigned char>(y));
           });
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isTokenChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c))
        || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Visible ASCII only: no spaces, no control bytes, no raw 8-bit bytes.
bool isValidTarget(std::string_view target)
{
    return !target.empty() && target.front() == '/'
        && std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name))
            return value;
    return std::nullopt;
}

std::optional<std::string> HttpRequest::param(std::string_view name) const
{
    return lastValue(query, name);
}

std::optional<HttpRequest> parseRequestHead(std::string_view head)
{
    const auto lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace =
        requestLine.find(' ', firstSpace == std::string_view::npos ? 0 : firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos)
        return std::nullopt;

    HttpRequest request;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string_view version = requestLine.substr(secondSpace + 1);
    const bool methodIsToken = !request.method.empty()
        && std::all_of(request.method.begin(), request.method.end(),
                       [](char c) { return c >= 'A' && c <= 'Z'; });
    if (!methodIsToken || !isValidTarget(request.target)
        || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return std::nullopt;

    std::string_view rest =
        lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);
    while (!rest.empty()) {
        const auto end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        const auto colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos
            || !std::all_of(line.begin(), line.begin() + static_cast<long>(colon), isTokenChar))
            return std::nullopt;
        request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }

    const std::string_view target = request.target;
    const auto question = target.find('?');
    request.path = percentDecode(target.substr(0, question), false);
    if (question != std::string_view::npos)
        request.query = parseQuery(target.substr(question + 1));
    return request;
}

QueryParams parseQuery(std::string_view raw)
{
    QueryParams params;
    while (!raw.empty()) {
        const auto end = raw.find('&');
        const std::string_view piece = raw.substr(0, end);
        raw = end == std::string_view::npos ? std::string_view() : raw.substr(end + 1);
        const auto equals = piece.find('=');
        std::string name = percentDecode(piece.substr(0, equals), true);
        if (name.empty())
            continue;
        std::string value = equals == std::string_view::npos
            ? std::string()
            : percentDecode(piece.substr(equals + 1), true);
        params.emplace_back(std::move(name), std::move(value));
    }
    return params;
}

std::string percentDecode(std::string_view text, bool plusIsSpace)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0
            && hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            decoded += ' ';
        } else {
            decoded += c;
        }
    }
    return decoded;
}

std::string maskPassword(std::string_view target)
{
    const auto question = target.find('?');
    if (question == std::string_view::npos)
        return std::string(target);
    std::string masked(target.substr(0, question + 1));
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
        auto end = rest.find('&');
        if (rest.substr(0, 9) == "password=") {
            // The client sends '&' in a password unescaped; its login query goes on with
            // "&portal=", so mask up to there to hide the whole password, not its first part.
            if (const auto portal = rest.find("&portal="); portal != std::string_view::npos)
                end = portal;
            masked += "password=***";
        } else {
            masked += rest.substr(0, end);
        }
        if (end == std::string_view::npos)
            break;
        masked += '&';
        rest = rest.substr(end + 1);
    }
    return masked;
}

} // namespace standin
