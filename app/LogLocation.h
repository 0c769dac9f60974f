#pragma once

#include <cstdio>
#include <string>

namespace velmora {

// Full path of the per-user log file "app.log". Composing it never fails; creating it is the
// logger's business.
std::string logFilePath();

// Before the logger opens the file at `path`: makes its folder and the file private to the user
// (folders it makes and the file are for the user alone; an existing folder or file readable by
// others is narrowed). Throws std::runtime_error when the folder or the file cannot be made, so
// that the logger gives up at once instead of retrying.
void prepareLogFile(const std::string& path);

// Keeps the open log out of every program this one starts (the route tracer, the browser).
void keepLogFileToItself(std::FILE* file);

} // namespace velmora
