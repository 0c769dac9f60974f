#include "Replies.h"

#include <algorithm>

namespace standin {
namespace {

const char* reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

std::string headFor(const Answer& answer, std::size_t contentLength)
{
    std::string location = answer.location;
    if (location.empty() && answer.status >= 300 && answer.status < 400)
        location = "/login.php";
    return responseHead(answer.status, answer.contentType, contentLength, location);
}

} // namespace

std::string responseHead(int status, const std::string& contentType, std::size_t contentLength,
                         const std::string& location)
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    if (!contentType.empty())
        head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
    if (!location.empty())
        head += "Location: " + location + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

int sendAnswer(Connection& connection, const Answer& answer)
{
    if (answer.delay.count() > 0 && !connection.pause(answer.delay)) {
        connection.close();
        return 0;
    }
    connection.send(headFor(answer, answer.body.size()) + answer.body);
    connection.close();
    return answer.status;
}

int sendResetMidAnswer(Connection& connection, const Answer& answer)
{
    // At least one byte of body is promised but missing, so the answer can never be whole.
    const std::string body = answer.body.empty() ? std::string("x") : answer.body;
    connection.send(headFor(answer, body.size()) + body.substr(0, body.size() / 2));
    connection.resetAbruptly();
    return answer.status;
}

int sendTruncatedAnswer(Connection& connection, const Answer& answer)
{
    connection.send(headFor(answer, answer.body.size() + 100) + answer.body);
    connection.close();
    return answer.status;
}

int sendHugeBody(Connection& connection)
{
    bool sending =
        connection.send(responseHead(200, "text/plain; charset=utf-8", hugeBodySize, {}));
    const std::string chunk(64 * 1024, 'x');
    for (std::size_t sent = 0; sending && sent < hugeBodySize; sent += chunk.size())
        sending = connection.send(
            std::string_view(chunk).substr(0, std::min(chunk.size(), hugeBodySize - sent)));
    connection.close();
    return 200;
}

} // namespace standin
