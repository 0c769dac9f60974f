#include "app/Ipv4Address.h"

namespace velmora {

std::optional<std::array<int, 4>> dottedDecimal(std::string_view text)
{
    std::array<int, 4> numbers {};
    std::size_t at = 0;
    for (std::size_t part = 0; part < numbers.size(); ++part) {
        if (part > 0) {
            if (at == text.size() || text[at] != '.')
                return std::nullopt;
            ++at;
        }
        const std::size_t start = at;
        int number = 0;
        // Read by hand, digit by digit: no locale, no sign, no base prefix, no blanks.
        while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9')
            number = number * 10 + (text[at++] - '0');
        if (at == start)
            return std::nullopt;
        numbers[part] = number;
    }
    // A fourth digit in a group, or anything after the fourth, is not this shape.
    if (at != text.size())
        return std::nullopt;
    return numbers;
}

std::optional<std::string> canonicalIpv4(std::string_view text)
{
    const auto numbers = dottedDecimal(text);
    if (!numbers)
        return std::nullopt;
    std::string canonical;
    for (const int number : *numbers) {
        if (number > 255)
            return std::nullopt;
        if (!canonical.empty())
            canonical += '.';
        canonical += std::to_string(number);
    }
    return canonical;
}

} // namespace velmora
