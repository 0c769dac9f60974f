#include "app/Trace.h"

namespace velmora {

namespace {

constexpr std::string_view anonymousNamespace = "(anonymous namespace)";

// Index of the parenthesis closing the one at 'open', or npos.
size_t closingParenthesis(std::string_view text, size_t open)
{
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        if (text[i] == '(')
            ++depth;
        else if (text[i] == ')' && --depth == 0)
            return i;
    }
    return std::string_view::npos;
}

} // namespace

std::string qualifiedFunctionName(std::string_view signature)
{
    // The name starts after the last blank that precedes the parameter list at template depth 0;
    // what comes before it is the return type.
    size_t nameStart = 0;
    int angleDepth = 0;
    for (size_t i = 0; i < signature.size(); ++i) {
        const char c = signature[i];
        if (signature.substr(i).starts_with(anonymousNamespace)) {
            i += anonymousNamespace.size() - 1;
        } else if (c == '<') {
            ++angleDepth;
        } else if (c == '>') {
            --angleDepth;
        } else if (c == ' ' && angleDepth == 0) {
            nameStart = i + 1;
        } else if (c == '(' && angleDepth == 0) {
            break;
        }
    }

    // Copy the name, dropping each parameter list that follows a scope ("f(int)::<lambda()>"
    // becomes "f::<lambda()>"), and stop at qualifiers such as " const".
    std::string name;
    angleDepth = 0;
    for (size_t i = nameStart; i < signature.size(); ++i) {
        const char c = signature[i];
        if (signature.substr(i).starts_with(anonymousNamespace)) {
            name += anonymousNamespace;
            i += anonymousNamespace.size() - 1;
            continue;
        }
        if (c == '(' && angleDepth == 0) {
            const size_t close = closingParenthesis(signature, i);
            if (close == std::string_view::npos || !signature.substr(close + 1).starts_with("::"))
                break;
            i = close;
            continue;
        }
        if (c == '<')
            ++angleDepth;
        else if (c == '>')
            --angleDepth;
        name += c;
    }
    return name;
}

std::string_view sourceFileName(std::string_view path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void trace(LogLevel level, std::string_view message, const std::source_location& where)
{
    try {
        AppLogger::instance().log(level, std::string(sourceFileName(where.file_name())),
                                  qualifiedFunctionName(where.function_name()),
                                  static_cast<int>(where.line()), std::string(message));
    } catch (...) {
        // No log file (no folder, a full disk): the program goes on without its log, and the
        // next trace line tries to set it up again.
    }
}

} // namespace velmora
