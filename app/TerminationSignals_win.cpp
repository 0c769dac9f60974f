#include "app/TerminationSignals.h"

namespace velmora {

// Windows ends a GUI program through window messages, which Qt already turns into an orderly
// quit; the hidden console has no user to press Ctrl+C.
void quitOnTerminationRequests()
{
}

} // namespace velmora
