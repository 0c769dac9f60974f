#pragma once

#include <string>

// A release build names the vendor's own site: cmake -DVELMORA_TERMS_URL=...
#ifndef VELMORA_TERMS_URL
#define VELMORA_TERMS_URL "https://velmora.example/terms-and-conditions"
#endif

namespace velmora {

// The vendor's terms and conditions.
inline constexpr char termsAndConditionsUrl[] = VELMORA_TERMS_URL;

// Asks the desktop to open a web address in the user's default browser. Whether that worked is
// not reported: there is nothing the program could do about it.
void openInBrowser(const std::string& url);

} // namespace velmora
