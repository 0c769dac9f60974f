#include "auth/Browser.h"

#include <windows.h>
// Not part of windows.h when WIN32_LEAN_AND_MEAN is set.
#include <shellapi.h>

namespace velmora {

void openInBrowser(const std::string& url)
{
    ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace velmora
