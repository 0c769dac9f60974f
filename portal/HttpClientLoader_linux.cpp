#include "portal/HttpClient.h"

#include "app/ProgramPath.h"
#include "app/Trace.h"
#include "settings/ByteText.h"

#include <dlfcn.h>

#include <optional>
#include <string>

namespace velmora {

namespace {

// Where the module is: where the build made it for a program of the build tree, else beside
// the installed program (VELMORA_HTTP_MODULE_INSTALLED is relative to the program's folder). An
// installed program never looks into a build tree.
std::optional<std::string> modulePath()
{
    const auto program = executablePath();
    if (!program)
        return std::nullopt;
    const std::string path = lowBytes(*program);
    if (path.starts_with(VELMORA_BUILD_FOLDER "/"))
        return VELMORA_HTTP_MODULE_BUILT;
    return path.substr(0, path.rfind('/') + 1) + VELMORA_HTTP_MODULE_INSTALLED;
}

const HttpClientApi* loadModule()
{
    const auto path = modulePath();
    if (!path) {
        traceError("Cannot load the HTTP client: the program's own path is unknown");
        return nullptr;
    }
    // Never closed: it ends with the process.
    void* module = ::dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        traceError(std::string("Cannot load the HTTP client: ") + ::dlerror());
        return nullptr;
    }
    auto* entry =
        reinterpret_cast<const HttpClientApi* (*)()>(::dlsym(module, "velmoraHttpClientApi"));
    if (!entry) {
        traceError("Cannot load the HTTP client: " + *path + " has none");
        return nullptr;
    }
    return entry();
}

} // namespace

const HttpClientApi* httpClientApi()
{
    // Thread-safe: the first requests may come from the login thread and the session check at
    // once.
    static const HttpClientApi* const api = loadModule();
    return api;
}

} // namespace velmora
