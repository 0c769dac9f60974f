#pragma once

#include <string>
#include <string_view>

// The program's text is 8-bit (UTF-8 from the widgets) while the platform speaks UTF-16. The
// conversion is byte-wise on purpose, so any byte string survives a round trip unchanged.
namespace velmora {

// Each byte, taken as a signed 8-bit number, becomes one 16-bit unit: ASCII is unchanged and the
// bytes 0x80 to 0xFF become 0xFF80 to 0xFFFF.
inline std::u16string widenBytes(std::string_view bytes)
{
    std::u16string units;
    units.reserve(bytes.size());
    for (const char byte : bytes)
        units.push_back(static_cast<char16_t>(static_cast<signed char>(byte)));
    return units;
}

// Keeps the low byte of each 16-bit unit: the inverse of widenBytes.
inline std::string lowBytes(std::u16string_view units)
{
    std::string bytes;
    bytes.reserve(units.size());
    for (const char16_t unit : units)
        bytes.push_back(static_cast<char>(unit & 0xFF));
    return bytes;
}

} // namespace velmora
