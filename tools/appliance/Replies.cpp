#include "Replies.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

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

// What goes out between two checks of the peer in the endless answers: large enough to be fast,
// small enough that a client that stops reading stops them soon.
constexpr std::size_t endlessPiece = 16 * 1024;
// A long status line up to this size is written at once, a longer one piece by piece.
constexpr std::size_t atOnceLimit = 4 * 1024 * 1024;

std::string gzipped(const std::string& text)
{
    z_stream stream {};
    // 15 + 16: a gzip wrapper around the deflate stream, as "Content-Encoding: gzip" says.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
        != Z_OK)
        return {};
    std::string packed(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(packed.size());
    const int result = deflate(&stream, Z_FINISH);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? packed : std::string();
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

int sendDripFed(Connection& connection, const Answer& answer, std::chrono::milliseconds interval)
{
    if (!connection.send(headFor(answer, answer.body.size())))
        return 0;
    for (const char byte : answer.body) {
        if (!connection.pause(interval) || !connection.send(std::string_view(&byte, 1))) {
            connection.close();
            return answer.status;
        }
    }
    connection.close();
    return answer.status;
}

int sendEndlessChunked(Connection& connection)
{
    bool sending = connection.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                   "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
    char size[32];
    const int sizeLength = std::snprintf(size, sizeof size, "%zx\r\n", endlessPiece);
    const std::string chunk = std::string(size, static_cast<std::size_t>(sizeLength))
        + std::string(endlessPiece, 'x') + "\r\n";
    while (sending)
        sending = connection.send(chunk);
    connection.close();
    return 200;
}

int sendCompressed(Connection& connection, const Answer& answer, const std::string& encoding)
{
    const std::string body = gzipped(answer.body);
    std::string head = headFor(answer, body.size());
    // Before the blank line that ends the head.
    head.insert(head.size() - 2, "Content-Encoding: " + encoding + "\r\n");
    connection.send(head + body);
    connection.close();
    return answer.status;
}

int sendEndlessHeaders(Connection& connection)
{
    bool sending = connection.send("HTTP/1.1 200 OK\r\n");
    std::string lines;
    while (lines.size() < endlessPiece)
        lines += "X-Filler: " + std::to_string(lines.size()) + "\r\n";
    while (sending)
        sending = connection.send(lines);
    connection.close();
    return 200;
}

int sendLongStatusLine(Connection& connection, const Answer& answer, std::size_t reasonSize)
{
    bool sending = true;
    if (reasonSize <= atOnceLimit) {
        // All of the line in one write, so it arrives as fast as the connection carries it.
        std::string line = "HTTP/1.1 " + std::to_string(answer.status) + " ";
        line.append(reasonSize, 'a');
        sending = connection.send(line);
        reasonSize = 0;
    } else {
        sending = connection.send("HTTP/1.1 " + std::to_string(answer.status) + " ");
    }
    const std::string piece(endlessPiece, 'a');
    for (std::size_t sent = 0; sending && sent < reasonSize; sent += piece.size())
        sending = connection.send(
            std::string_view(piece).substr(0, std::min(piece.size(), reasonSize - sent)));
    if (sending) {
        // The rest of the usual head and the body, after the status line.
        const std::string head = headFor(answer, answer.body.size());
        connection.send(head.substr(head.find("\r\n")) + answer.body);
    }
    connection.close();
    return sending ? answer.status : 0;
}

} // namespace standin
