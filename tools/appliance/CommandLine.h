#pragma once

#include "ApplianceTypes.h"

#include <string>
#include <vector>

namespace standin {

struct CommandLine
{
    Options options;
    bool helpWanted = false;
};

// The arguments after the program name. Throws std::invalid_argument with a message for the
// user.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);
std::string usageText();

} // namespace standin
