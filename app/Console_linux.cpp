#include "app/Console.h"

#include <fcntl.h>
#include <unistd.h>

namespace velmora {

// Run from a terminal, the echo lines go there. Started from the desktop, standard output is the
// session's journal, which keeps what it gets, session values included: there the lines go
// nowhere, as into the hidden console on Windows.
void allocateHiddenConsole()
{
    if (::isatty(STDOUT_FILENO))
        return;
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere < 0)
        return;
    ::dup2(nowhere, STDOUT_FILENO);
    ::close(nowhere);
}

} // namespace velmora
