#pragma once

namespace velmora {

// Gives the process a console for its echo lines and hides it at once. Where a GUI program has
// standard output anyway, this does nothing.
void allocateHiddenConsole();

} // namespace velmora
