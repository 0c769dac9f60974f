#pragma once

#include "ApplianceTypes.h"
#include "Connection.h"

#include <cstddef>
#include <string>

namespace standin {

// The status line and headers of an answer, one answer per connection.
std::string responseHead(int status, const std::string& contentType, std::size_t contentLength,
                         const std::string& location);

// Each returns the status that went out in the status line (0 when none did) and leaves the
// connection closed.
int sendAnswer(Connection& connection, const Answer& answer);
int sendResetMidAnswer(Connection& connection, const Answer& answer);
int sendTruncatedAnswer(Connection& connection, const Answer& answer);
int sendHugeBody(Connection& connection);

} // namespace standin
