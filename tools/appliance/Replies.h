#pragma once

#include "ApplianceTypes.h"
#include "Connection.h"

#include <chrono>
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
// The answers of a hostile appliance; each ends when the client goes or the stand-in stops.
int sendDripFed(Connection& connection, const Answer& answer, std::chrono::milliseconds interval);
int sendEndlessChunked(Connection& connection);
int sendCompressed(Connection& connection, const Answer& answer, const std::string& encoding);
int sendEndlessHeaders(Connection& connection);
int sendLongStatusLine(Connection& connection, const Answer& answer, std::size_t reasonSize);

} // namespace standin
