#include "app/ProcessSignals.h"

namespace velmora {

// Windows ends a GUI program through window messages, which Qt already turns into an orderly
// quit; the hidden console has no user to press Ctrl+C.
void quitOnTerminationRequests()
{
}

// Windows has no SIGPIPE: a write to a reset socket fails with an error code.
void ignoreBrokenPipes()
{
}

} // namespace velmora
