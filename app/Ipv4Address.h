#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The four numbers of a dotted decimal text: four groups of one to three decimal digits joined by
// single dots, with nothing before, between or after them. Leading zeros are allowed and mean
// nothing (010 is ten, never eight). No range check here: each number is 0 to 999.
std::optional<std::array<int, 4>> dottedDecimal(std::string_view text);

// The one form in which an appliance's address is contacted, stored, logged and pinned: the four
// numbers of a dotted decimal text, each 0 to 255, written without leading zeros
// ("127.000.000.077" is "127.0.0.77"). Nothing for any other text. The system's resolver reads
// leading zeros as octal and also takes "0x4d", "127.1" or a single 32-bit number for an address,
// so no address text reaches it in any form but this one.
std::optional<std::string> canonicalIpv4(std::string_view text);

} // namespace velmora
