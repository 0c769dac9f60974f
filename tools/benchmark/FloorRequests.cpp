// The floors of the login and discovery measures: the requests the program makes, made by
// cpp-httplib alone, each on a fresh client as the program makes them, timed in this process.
//
//   velmora-bench-gets login HOST PORT USER PASSWORD
//       two fresh HTTPS GETs: the probe page, then the login (certificate checks off)
//   velmora-bench-gets discovery GATEWAY...
//       for each gateway the probe on 8090 and 443 over HTTPS and on 80 over HTTP, each of
//       which must be refused
//
// Prints "name milliseconds". Exit status 0 when the requests went as they must, 1 otherwise.
#include "portal/PortalRequests.h"

#include <httplib.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Reply
{
    int status = 0;
    std::string body;
};

std::optional<Reply> freshGet(const std::string& host, int port, bool https,
                              const std::string& path)
{
    std::unique_ptr<httplib::ClientImpl> client;
    if (https) {
        auto secure = std::make_unique<httplib::SSLClient>(host, port);
        secure->enable_server_certificate_verification(false);
        client = std::move(secure);
    } else {
        client = std::make_unique<httplib::ClientImpl>(host, port);
    }
    const httplib::Result result = client->Get(path.c_str());
    if (!result)
        return std::nullopt;
    return Reply { result->status, result->body };
}

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double login(const std::string& host, int port, const std::string& user,
             const std::string& password)
{
    const auto start = Clock::now();
    const auto probe = freshGet(host, port, true, "/isvelmora.php");
    const auto login = freshGet(host, port, true, velmora::loginPath(user, password));
    const double elapsed = millisecondsSince(start);
    if (!probe || probe->status != 200 || probe->body != "velmora")
        throw std::runtime_error("the probe page was not served");
    if (!login || login->status != 200 || login->body.find("\"success\"") == std::string::npos)
        throw std::runtime_error("the login was not accepted");
    return elapsed;
}

double discovery(const std::vector<std::string>& gateways)
{
    const auto start = Clock::now();
    for (const std::string& gateway : gateways) {
        for (const int port : { 8090, 443, 80 }) {
            if (freshGet(gateway, port, port != 80, "/isvelmora.php"))
                throw std::runtime_error(gateway + ":" + std::to_string(port)
                                         + " answered; it must refuse");
        }
    }
    return millisecondsSince(start);
}

} // namespace

int main(int argc, char* argv[])
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        if (arguments.size() == 5 && arguments[0] == "login") {
            std::cout << "login-floor-ms "
                      << login(arguments[1], std::stoi(arguments[2]), arguments[3], arguments[4])
                      << std::endl;
        } else if (arguments.size() >= 2 && arguments[0] == "discovery") {
            std::cout << "discovery-floor-ms "
                      << discovery({ arguments.begin() + 1, arguments.end() }) << std::endl;
        } else {
            std::cerr << "usage: velmora-bench-gets login HOST PORT USER PASSWORD\n"
                         "       velmora-bench-gets discovery GATEWAY...\n";
            return 2;
        }
    } catch (const std::exception& error) {
        std::cerr << "velmora-bench-gets: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
