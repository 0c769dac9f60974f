#include "auth/VelmoraAuth.h"

#include "app/OutsideText.h"
#include "app/Trace.h"
#include "discovery/GatewayList.h"
#include "discovery/RouteTracer.h"

#include <exception>
#include <iostream>

std::vector<std::string> VelmoraAuth::traceroute()
{
    std::vector<std::string> gateways;
    try {
        std::string command;
        {
            std::lock_guard lock(stateMutex);
            command = gatewayTraceCommand;
        }
        const auto output = velmora::runTracer(command);
        if (!output)
            return gateways;
        // The tracer prints what the routers on the way answer: outside text, kept to one line.
        std::cout << "Tracert result:\n" << velmora::outsideText(*output) << std::endl;
        velmora::collectGateways(*output, gateways);
    } catch (const std::exception& error) {
        std::cout << "Error:" << error.what() << std::endl;
        traceError(error.what());
    }
    return gateways;
}
