#pragma once

#include <string>

namespace velmora {

// The vendor's terms and conditions.
inline constexpr char termsAndConditionsUrl[] = "https://www.velmora.com/terms-and-conditions";

// Asks the desktop to open a web address in the user's default browser. Whether that worked is
// not reported: there is nothing the program could do about it.
void openInBrowser(const std::string& url);

} // namespace velmora
