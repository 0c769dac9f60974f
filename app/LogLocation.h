#pragma once

#include <string>

namespace velmora {

// Full path of the per-user log file "app.log". Composing it never fails; creating it is the
// logger's business.
std::string logFilePath();

} // namespace velmora
