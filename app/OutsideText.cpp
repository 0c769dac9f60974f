#include "app/OutsideText.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace velmora {

namespace {

constexpr std::string_view passwordMask = "********";
// Passwords of recent logins; a re-login may send another.
constexpr std::size_t keptSecrets = 16;
// Digits read in a numeric character reference, leading zeros included.
constexpr std::size_t entityDigits = 8;

// The names of XML's and HTML's character references for printable ASCII, a tab and a newline.
constexpr std::pair<std::string_view, char> referenceNames[] = {
    { "amp", '&' },          { "AMP", '&' },      { "lt", '<' },     { "LT", '<' },
    { "gt", '>' },           { "GT", '>' },       { "quot", '"' },   { "QUOT", '"' },
    { "apos", '\'' },        { "excl", '!' },     { "num", '#' },    { "dollar", '$' },
    { "percnt", '%' },       { "lpar", '(' },     { "rpar", ')' },   { "ast", '*' },
    { "midast", '*' },       { "plus", '+' },     { "comma", ',' },  { "period", '.' },
    { "sol", '/' },          { "colon", ':' },    { "semi", ';' },   { "equals", '=' },
    { "quest", '?' },        { "commat", '@' },   { "lsqb", '[' },   { "lbrack", '[' },
    { "bsol", '\\' },        { "rsqb", ']' },     { "rbrack", ']' }, { "Hat", '^' },
    { "lowbar", '_' },       { "UnderBar", '_' }, { "grave", '`' },  { "DiacriticalGrave", '`' },
    { "lcub", '{' },         { "lbrace", '{' },   { "verbar", '|' }, { "vert", '|' },
    { "VerticalLine", '|' }, { "rcub", '}' },     { "rbrace", '}' }, { "Tab", '\t' },
    { "NewLine", '\n' },
};

// The longest text between a reference's '&' and its ';': a name, or "#x" and its digits.
constexpr std::size_t longestReference()
{
    std::size_t longest = entityDigits + 2;
    for (const auto& [name, meant] : referenceNames)
        longest = std::max(longest, name.size());
    return longest;
}

std::mutex secretsMutex;
std::deque<std::string> secrets; // newest last

std::vector<std::string> currentSecrets()
{
    std::lock_guard lock(secretsMutex);
    return { secrets.begin(), secrets.end() };
}

// One way to read the text at some place: it takes `taken` bytes there and stands for `bytes`.
struct Reading
{
    std::size_t taken = 0;
    std::array<char, 4> bytes {};
    std::size_t size = 0;
};

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

std::optional<Reading> utf8Reading(std::size_t taken, char32_t point)
{
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return std::nullopt;
    Reading reading;
    reading.taken = taken;
    auto put = [&](unsigned value) {
        reading.bytes[reading.size++] = static_cast<char>(value);
    };
    if (point < 0x80) {
        put(point);
    } else if (point < 0x800) {
        put(0xC0 | (point >> 6));
        put(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        put(0xE0 | (point >> 12));
        put(0x80 | ((point >> 6) & 0x3F));
        put(0x80 | (point & 0x3F));
    } else {
        put(0xF0 | (point >> 18));
        put(0x80 | ((point >> 12) & 0x3F));
        put(0x80 | ((point >> 6) & 0x3F));
        put(0x80 | (point & 0x3F));
    }
    return reading;
}

// The four hex digits of a JSON "\uXXXX" at `at`.
std::optional<char32_t> jsonUnit(std::string_view text, std::size_t at)
{
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u')
        return std::nullopt;
    char32_t unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        const int digit = hexValue(text[i]);
        if (digit < 0)
            return std::nullopt;
        unit = unit * 16 + static_cast<char32_t>(digit);
    }
    return unit;
}

// A JSON escape at `at`: the two-character ones, and \uXXXX with UTF-16 pairs joined.
std::optional<Reading> jsonEscape(std::string_view text, std::size_t at)
{
    if (at + 1 >= text.size())
        return std::nullopt;
    static constexpr std::string_view escaped = "\"\\/bfnrt";
    static constexpr std::string_view meant = "\"\\/\b\f\n\r\t";
    if (const std::size_t which = escaped.find(text[at + 1]); which != std::string_view::npos)
        return utf8Reading(2, static_cast<unsigned char>(meant[which]));
    const auto unit = jsonUnit(text, at);
    if (!unit)
        return std::nullopt;
    if (*unit >= 0xD800 && *unit <= 0xDBFF) {
        const auto low = jsonUnit(text, at + 6);
        if (!low || *low < 0xDC00 || *low > 0xDFFF)
            return std::nullopt;
        return utf8Reading(12, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
    }
    return utf8Reading(6, *unit);
}

// An HTML character reference at `at`: decimal or hexadecimal, or a name of XML's or of HTML's
// for a character of printable ASCII. Only with its closing semicolon.
std::optional<Reading> htmlReference(std::string_view text, std::size_t at)
{
    const std::size_t semicolon = text.find(';', at + 1);
    if (semicolon == std::string_view::npos || semicolon - at - 1 > longestReference())
        return std::nullopt;
    const std::string_view name = text.substr(at + 1, semicolon - at - 1);
    const std::size_t taken = semicolon - at + 1;
    if (name.size() >= 2 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        const std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > entityDigits)
            return std::nullopt;
        char32_t point = 0;
        for (const char c : digits) {
            const int digit = hex ? hexValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
            if (digit < 0)
                return std::nullopt;
            point = point * (hex ? 16 : 10) + static_cast<char32_t>(digit);
        }
        return utf8Reading(taken, point);
    }
    for (const auto& [known, meant] : referenceNames) {
        if (name == known)
            return utf8Reading(taken, static_cast<unsigned char>(meant));
    }
    return std::nullopt;
}

// The readings at `at` that agree with the start of `rest`: the byte as it is, and the byte or
// character that percent-encoding, form encoding, a JSON escape or an HTML reference there stands
// for.
std::size_t readingsAgreeing(std::string_view text, std::size_t at, std::string_view rest,
                             std::array<Reading, 2>& agreeing)
{
    std::size_t count = 0;
    const auto keep = [&](const std::optional<Reading>& reading) {
        if (reading && reading->size <= rest.size()
            && rest.compare(0, reading->size,
                            std::string_view(reading->bytes.data(), reading->size))
                == 0)
            agreeing[count++] = *reading;
    };
    const char c = text[at];
    keep(Reading { 1, { c }, 1 });
    if (c == '%' && at + 2 < text.size() && hexValue(text[at + 1]) >= 0
        && hexValue(text[at + 2]) >= 0)
        keep(Reading {
            3, { static_cast<char>(hexValue(text[at + 1]) * 16 + hexValue(text[at + 2])) }, 1 });
    else if (c == '+')
        keep(Reading { 1, { ' ' }, 1 });
    else if (c == '\\')
        keep(jsonEscape(text, at));
    else if (c == '&')
        keep(htmlReference(text, at));
    return count;
}

// Where an echo of `secret` that starts at `from` ends, or npos: the text is read one piece at a
// time, each piece as it is or decoded (so "p%40ss+w\/rd&amp;" reads as "p@ss w/rd&"), and of the
// ways that spell the whole secret the longest wins. `known` keeps, for the places where two
// readings agree, where the echo from there ends, so that no place is searched twice: however the
// readings branch, the work stays within the text's length times the secret's.
class EchoSearch
{
public:
    explicit EchoSearch(std::string_view secret)
        : m_secret(secret)
    {
    }

    std::size_t endFrom(std::string_view text, std::size_t from)
    {
        // The common case at once: a byte that is no escape and not the secret's first.
        const char c = text[from];
        if (c != m_secret.front() && c != '%' && c != '+' && c != '\\' && c != '&')
            return std::string_view::npos;

        m_stack.clear();
        std::size_t result = std::string_view::npos;
        if (!enter(text, from, 0, result))
            return result;
        while (!m_stack.empty()) {
            Frame& frame = m_stack.back();
            if (frame.next > 0 && result != std::string_view::npos
                && (frame.best == std::string_view::npos || result > frame.best))
                frame.best = result;
            if (frame.next < frame.count) {
                const Reading& reading = frame.readings[frame.next++];
                // May grow the stack: frame is not used after this.
                enter(text, frame.at + reading.taken, frame.matched + reading.size, result);
                continue;
            }
            result = frame.best;
            if (frame.count > 1)
                m_known[key(frame.at, frame.matched)] = result;
            m_stack.pop_back();
        }
        return result;
    }

private:
    struct Frame
    {
        std::size_t at = 0;
        std::size_t matched = 0;
        std::array<Reading, 2> readings {};
        std::size_t count = 0;
        std::size_t next = 0;
        std::size_t best = std::string_view::npos;
    };

    std::uint64_t key(std::size_t at, std::size_t matched) const
    {
        return static_cast<std::uint64_t>(at) * (m_secret.size() + 1) + matched;
    }

    // Opens the place `at` with `matched` bytes of the secret read; false when its result is
    // known at once (in `result`).
    bool enter(std::string_view text, std::size_t at, std::size_t matched, std::size_t& result)
    {
        result = std::string_view::npos;
        if (matched == m_secret.size()) {
            result = at;
            return false;
        }
        if (at >= text.size())
            return false;
        Frame frame;
        frame.at = at;
        frame.matched = matched;
        frame.count = readingsAgreeing(text, at, m_secret.substr(matched), frame.readings);
        if (frame.count == 0)
            return false;
        if (frame.count > 1) {
            if (const auto known = m_known.find(key(at, matched)); known != m_known.end()) {
                result = known->second;
                return false;
            }
        }
        m_stack.push_back(frame);
        return true;
    }

    std::string_view m_secret;
    std::vector<Frame> m_stack;
    std::unordered_map<std::uint64_t, std::size_t> m_known;
};

// The value with each echo of a hidden secret masked, until the masked text is longer than
// `limit` or the value ends; `taken` says how much of the value that read. Each echo is looked for
// in the whole value, so one that the limit falls into is masked whole, never shown in part, and
// an 8 MiB body costs what a few KiB do.
std::string masked(std::string_view value, const std::vector<std::string>& hidden,
                   std::size_t limit, std::size_t& taken)
{
    if (hidden.empty()) {
        taken = value.size() > limit ? limit + 1 : value.size();
        return std::string(value.substr(0, taken));
    }
    std::vector<EchoSearch> searches(hidden.begin(), hidden.end());
    std::string text;
    text.reserve(std::min(value.size(), limit) + passwordMask.size());
    std::size_t at = 0;
    while (at < value.size() && text.size() <= limit) {
        std::size_t end = std::string_view::npos;
        for (EchoSearch& search : searches) {
            const std::size_t found = search.endFrom(value, at);
            if (found != std::string_view::npos && (end == std::string_view::npos || found > end))
                end = found;
        }
        if (end == std::string_view::npos) {
            text += value[at++];
        } else {
            text += passwordMask;
            at = end;
        }
    }
    taken = at;
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
    return isControlCharacter(point) || isSteeringCharacter(point);
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

} // namespace

bool isControlCharacter(char32_t point)
{
    return point < 0x20 || (point >= 0x7F && point <= 0x9F); // C0, DEL, C1
}

bool isSteeringCharacter(char32_t point)
{
    return point == 0x2028 || point == 0x2029 // line and paragraph separators
        || point == 0x061C || point == 0x200E || point == 0x200F // direction marks
        || (point >= 0x202A && point <= 0x202E) // embeddings and overrides
        || (point >= 0x2066 && point <= 0x2069); // isolates
}

std::string outsideText(std::string_view value, std::size_t limit)
{
    std::size_t taken = 0;
    const std::string text = masked(value, currentSecrets(), limit, taken);

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
    return masked(value, currentSecrets(), limit, taken);
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
