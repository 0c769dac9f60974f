#include "app/Console.h"

#include <windows.h>

namespace velmora {

void allocateHiddenConsole()
{
    AllocConsole();
    ShowWindow(GetConsoleWindow(), SW_HIDE);
}

} // namespace velmora
