#pragma once

#include <optional>
#include <string>

namespace velmora {

// Full path of the running executable as UTF-16 units, or nothing when it cannot be learnt.
std::optional<std::u16string> executablePath();

} // namespace velmora
