#pragma once

#include "app/AppLogger.h"

#include <source_location>
#include <string>
#include <string_view>

namespace velmora {

// The name a trace line gives its caller: "VelmoraAuth::login" for a member function, and the
// enclosing operation followed by the compiler's name for a lambda
// ("VelmoraAuth::startLogin::<lambda()>"). Takes what std::source_location reports.
std::string qualifiedFunctionName(std::string_view signature);

// The file name without its folders.
std::string_view sourceFileName(std::string_view path);

// Writes one trace line for the caller. Never throws: a log that cannot be opened must not stop
// the program.
void trace(LogLevel level, std::string_view message, const std::source_location& where);

} // namespace velmora

inline void traceInfo(std::string_view message,
                      const std::source_location& where = std::source_location::current())
{
    velmora::trace(LogLevel::info, message, where);
}

inline void traceError(std::string_view message,
                       const std::source_location& where = std::source_location::current())
{
    velmora::trace(LogLevel::err, message, where);
}
