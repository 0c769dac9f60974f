#include "auth/VelmoraAuth.h"

#include "app/Ipv4Address.h"
#include "app/OutsideText.h"
#include "app/Trace.h"

#include <exception>
#include <iostream>

bool VelmoraAuth::isVelmora(std::string address, std::int32_t port, IdentityQuestion* question)
{
    try {
        const std::string portText = std::to_string(port);
        // Contacted, logged and kept in its one canonical form; any other spelling is refused
        // before anything is sent, as no resolver may read it as some other address.
        const std::optional<std::string> canonical = velmora::canonicalIpv4(address);
        traceInfo("start check isVelmora with ip "
                  + (canonical ? *canonical : velmora::outsideText(address)) + " and port "
                  + portText);
        if (!canonical) {
            traceError(
                "Not an IPv4 address of four decimal numbers from 0 to 255: nothing is sent");
            return false;
        }
        address = *canonical;
        traceInfo("Check isHttps based on port address.");
        // The scheme follows the port alone: an appliance serves plain HTTP only on 80.
        const bool https = port != 80;
        std::cout << "isHttps: " << https << std::endl;
        const std::string url = https ? "https://" + address + ":" + portText + "/isvelmora.php"
                                      : "http://" + address + ":80/isvelmora.php";
        std::cout << url << std::endl;
        traceInfo((https ? "Hit isVelmora.php with https request: "
                         : "Hit isVelmora.php with http request: ")
                  + url);

        // No User-Agent of the program's own: the probe goes out with the client's default.
        const auto reply =
            checkedGet(Endpoint { address, port, https }, "/isvelmora.php", {}, question);
        if (!reply) {
            traceError("Not gettring any response");
            return false;
        }
        traceInfo("Response status code while isvelmora.php: " + std::to_string(reply->status));
        if (reply->status != 200) {
            std::cout << "Error with response code: " << reply->status << std::endl;
            traceError("Error with response code: " + std::to_string(reply->status));
            return false;
        }
        const std::string shownBody = velmora::outsideText(reply->body);
        std::cout << "Response: " << shownBody << std::endl;
        // The whole body, byte for byte: "velmora\n" or "Velmora" is some other server.
        const bool marker = reply->body == "velmora";
        std::cout << "Conditon------------------:" << marker << std::endl;
        traceInfo("Response body while isvelmora.php: " + shownBody);
        if (!marker)
            return false;
        if (!https && !mayUsePlainHttp(question, address, port))
            return false;

        std::cout << "velmora....................isVelmora......set" << std::endl;
        traceInfo("Successfully connected to velmora with ip: " + address + " and port " + portText
                  + "and fixed ip address and port address");
        std::lock_guard lock(stateMutex);
        fixedIP = address;
        fixedPort = port;
        isHttps = https;
        return true;
    } catch (const std::exception& error) {
        std::cout << "Error:" << error.what() << std::endl;
        traceError(error.what());
        return false;
    }
}
