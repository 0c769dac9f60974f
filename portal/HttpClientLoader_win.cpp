#include "portal/HttpClient.h"

namespace velmora {

// Linked in: the program ships as one folder of DLLs there, and loading the client later is
// a saving measured on Linux only.
const HttpClientApi* httpClientApi()
{
    return velmoraHttpClientApi();
}

} // namespace velmora
