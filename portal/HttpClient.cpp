#include "portal/HttpClient.h"

#include <httplib.h>

#include <memory>

namespace {

using velmora::HttpReply;

// Debian's cpp-httplib is prebuilt: its time-out macros do nothing, so every client gets them
// here. An unreachable appliance may hold a request for about five minutes.
void* create(const std::string& host, std::int32_t port, bool https, const std::string& userAgent)
{
    std::unique_ptr<httplib::ClientImpl> client;
    if (https) {
        auto secure = std::make_unique<httplib::SSLClient>(host, port);
        // Appliances present self-signed certificates, or ones for another name.
        secure->enable_server_certificate_verification(false);
        client = std::move(secure);
    } else {
        client = std::make_unique<httplib::ClientImpl>(host, port);
    }
    client->set_connection_timeout(300, 300);
    client->set_read_timeout(300, 300);
    client->set_write_timeout(300, 0);
    if (!userAgent.empty())
        client->set_default_headers({ { "User-Agent", userAgent } });
    return client.release();
}

std::optional<HttpReply> get(void* client, const std::string& path)
{
    httplib::Result result = static_cast<httplib::ClientImpl*>(client)->Get(path.c_str());
    if (!result)
        return std::nullopt;
    return HttpReply { result->status, result->body };
}

void stop(void* client)
{
    static_cast<httplib::ClientImpl*>(client)->stop();
}

void destroy(void* client)
{
    delete static_cast<httplib::ClientImpl*>(client);
}

constexpr velmora::HttpClientApi api { create, get, stop, destroy };

} // namespace

const velmora::HttpClientApi* velmoraHttpClientApi()
{
    return &api;
}
