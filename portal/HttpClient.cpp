#include "portal/HttpClient.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

namespace {

using velmora::HttpClientSpec;
using velmora::HttpEnd;
using velmora::HttpResult;

struct Client
{
    std::unique_ptr<httplib::ClientImpl> http;
    HttpClientSpec spec;
};

std::string trimmedLower(std::string text)
{
    const auto blank = [](unsigned char c) {
        return c == ' ' || c == '\t';
    };
    while (!text.empty() && blank(text.back()))
        text.pop_back();
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Debian's cpp-httplib is prebuilt: its time-out macros do nothing, so every client gets them
// here. An unreachable appliance may hold a request for about five minutes.
void* create(const HttpClientSpec& spec)
{
    auto client = std::make_unique<Client>();
    client->spec = spec;
    if (spec.https) {
        auto secure = std::make_unique<httplib::SSLClient>(spec.host, spec.port);
        // Appliances present self-signed certificates, or ones for another name.
        secure->enable_server_certificate_verification(false);
        client->http = std::move(secure);
    } else {
        client->http = std::make_unique<httplib::ClientImpl>(spec.host, spec.port);
    }
    httplib::ClientImpl& http = *client->http;
    http.set_connection_timeout(300, 300);
    http.set_read_timeout(300, 300);
    http.set_write_timeout(300, 0);
    // Sends no Accept-Encoding, and hands over a compressed answer as it came (to be refused).
    http.set_decompress(false);
    if (!spec.userAgent.empty())
        http.set_default_headers({ { "User-Agent", spec.userAgent } });
    if (spec.socketMade) {
        http.set_socket_options([spec](socket_t socket) {
            spec.socketMade(spec.observer, static_cast<std::intptr_t>(socket));
        });
    }
    return client.release();
}

HttpResult get(void* opaque, const std::string& path)
{
    auto* client = static_cast<Client*>(opaque);
    const HttpClientSpec& spec = client->spec;
    HttpResult outcome;
    std::string body;
    bool tooLarge = false;

    const auto checkHead = [&](const httplib::Response& head) {
        if (spec.headRead)
            spec.headRead(spec.observer);
        for (std::size_t i = 0; i < head.get_header_value_count("Content-Encoding"); ++i) {
            const std::string coding = head.get_header_value("Content-Encoding", i);
            if (const std::string name = trimmedLower(coding);
                !name.empty() && name != "identity") {
                outcome.encoding = coding;
                return false;
            }
        }
        // A promised length past the limit is refused before a byte of the body is read.
        const std::string length = head.get_header_value("Content-Length");
        std::size_t promised = 0;
        const auto [end, error] =
            std::from_chars(length.data(), length.data() + length.size(), promised);
        if (!length.empty()
            && (error == std::errc::result_out_of_range
                || (error == std::errc() && promised > spec.maxBodyBytes))) {
            tooLarge = true;
            return false;
        }
        return true;
    };
    const auto receive = [&](const char* data, std::size_t length) {
        if (length > spec.maxBodyBytes - body.size()) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    };

    const httplib::Result result = client->http->Get(path, checkHead, receive);
    if (!outcome.encoding.empty())
        outcome.end = HttpEnd::encoded;
    else if (tooLarge)
        outcome.end = HttpEnd::tooLarge;
    else if (result) {
        outcome.end = HttpEnd::answered;
        outcome.reply = { result->status, std::move(body) };
    }
    return outcome;
}

void destroy(void* client)
{
    delete static_cast<Client*>(client);
}

constexpr velmora::HttpClientApi api { create, get, destroy };

} // namespace

const velmora::HttpClientApi* velmoraHttpClientApi()
{
    return &api;
}
