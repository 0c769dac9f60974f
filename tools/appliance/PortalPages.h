#pragma once

#include "ApplianceTypes.h"
#include "HttpRequest.h"
#include "PortalSessions.h"

#include <string>
#include <string_view>

namespace standin {

// The value the client sends in both "ms" and "mes" with every portal request.
inline constexpr std::string_view portalKey = "kq52vnwpex317t9hmzol8";

// Which exchange a request is, by its path and its "pageto"; never `any`.
Exchange classifyExchange(const HttpRequest& request);

// The appliance's own answer: the probe page, the portal script, 400 for a portal request
// that lacks or garbles its fixed parameters, 404 for any other path.
Answer portalAnswer(const HttpRequest& request, const std::string& remoteAddress,
                    PortalSessions& sessions);

} // namespace standin
