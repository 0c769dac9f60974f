#include "app/OutsideText.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace velmora {

namespace {

constexpr std::string_view passwordMask = "********";
// A login sends one password in a few forms; a re-login may send another.
constexpr std::size_t keptSecrets = 16;

std::mutex secretsMutex;
std::deque<std::string> secrets; // newest last

std::vector<std::string> currentSecrets()
{
    std::lock_guard lock(secretsMutex);
    std::vector<std::string> copy(secrets.begin(), secrets.end());
    // Longest first, so that a form that holds a shorter one is hidden whole.
    std::sort(copy.begin(), copy.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    return copy;
}

std::string masked(std::string_view value, const std::vector<std::string>& hidden)
{
    std::string text(value);
    for (const std::string& secret : hidden) {
        for (std::size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + passwordMask.size()))
            text.replace(at, secret.size(), passwordMask);
    }
    return text;
}

// The length of the UTF-8 sequence at `at` and the code point it encodes, or nothing when the
// bytes there are not UTF-8 (a stray continuation byte, an overlong form, a surrogate, a cut
// sequence).
std::optional<std::pair<std::size_t, char32_t>> utf8At(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) {
        return static_cast<unsigned char>(text[i]);
    };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    char32_t point = 0;
    char32_t smallest = 0;
    if (lead < 0x80)
        return std::pair { std::size_t(1), char32_t(lead) };
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        point = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        point = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        point = lead & 0x07;
        smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (at + length > text.size())
        return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return std::nullopt;
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return std::nullopt;
    return std::pair { length, point };
}

bool mustBeEscaped(char32_t point)
{
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) // C0, DEL, C1
        || point == 0x2028 || point == 0x2029 // line and paragraph separators
        || (point >= 0x202A && point <= 0x202E) // embeddings and overrides
        || (point >= 0x2066 && point <= 0x2069); // isolates
}

void appendEscaped(std::string& out, std::string_view bytes)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 0x0F];
    }
}

// The part of the value that can show, masked: an 8 MiB body costs what a few KiB do. A password
// that starts inside that part is taken whole.
std::string maskedHead(std::string_view value, std::size_t limit, std::size_t& taken)
{
    const std::vector<std::string> hidden = currentSecrets();
    std::size_t longest = 0;
    for (const std::string& secret : hidden)
        longest = std::max(longest, secret.size());
    taken =
        limit >= value.size() - std::min(value.size(), longest) ? value.size() : limit + longest;
    return masked(value.substr(0, taken), hidden);
}

} // namespace

std::string outsideText(std::string_view value, std::size_t limit)
{
    std::size_t taken = 0;
    const std::string text = maskedHead(value, limit, taken);

    std::string out;
    out.reserve(std::min(text.size(), limit) + 48);
    std::size_t at = 0;
    while (at < text.size()) {
        const auto sequence = utf8At(text, at);
        const std::size_t length = sequence ? sequence->first : 1;
        const std::string_view piece = std::string_view(text).substr(at, length);
        const bool escaped = !sequence || mustBeEscaped(sequence->second);
        if (out.size() + (escaped ? 4 * length : length) > limit)
            break;
        if (escaped)
            appendEscaped(out, piece);
        else
            out += piece;
        at += length;
    }
    if (at < text.size() || taken < value.size())
        out += " [\u2026 cut: " + std::to_string(value.size()) + " bytes in all]";
    return out;
}

std::string withoutPasswords(std::string_view value, std::size_t limit)
{
    std::size_t taken = 0;
    return maskedHead(value, limit, taken);
}

void hideFromOutsideText(std::string_view secret)
{
    if (secret.empty())
        return;
    std::lock_guard lock(secretsMutex);
    if (std::find(secrets.begin(), secrets.end(), secret) != secrets.end())
        return;
    secrets.emplace_back(secret);
    if (secrets.size() > keptSecrets)
        secrets.pop_front();
}

} // namespace velmora
