#include "app/Console.h"

namespace velmora {

// Standard output already goes to the terminal or the session log.
void allocateHiddenConsole()
{
}

} // namespace velmora
