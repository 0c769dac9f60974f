#include "PortalPages.h"

namespace standin {
namespace {

constexpr const char* pageType = "text/html; charset=UTF-8";
constexpr const char* plainType = "text/plain; charset=utf-8";

Answer page(std::string body)
{
    return Answer { .status = 200, .body = std::move(body), .contentType = pageType };
}

Answer json(std::string body)
{
    return Answer { .status = 200, .body = std::move(body), .contentType = "application/json" };
}

Answer badRequest()
{
    return Answer { .status = 400, .body = "bad request", .contentType = plainType };
}

bool has(const HttpRequest& request, std::string_view name, std::string_view value)
{
    return request.param(name) == value;
}

Answer login(const HttpRequest& request, const std::string& remoteAddress, PortalSessions& sessions)
{
    const auto user = request.param("fixeduserid");
    const auto password = request.param("password");
    if (!user || !password || !has(request, "loginMethod", "6") || !has(request, "portal", "1")
        || !has(request, "stage", "9"))
        return badRequest();
    return json(sessions.login(*user, *password, remoteAddress));
}

Answer keepAlive(const HttpRequest& request, PortalSessions& sessions)
{
    const auto userid = request.param("u");
    const auto username = request.param("username");
    const auto k1 = request.param("k1");
    if (!userid || !username || !k1)
        return badRequest();
    return json(sessions.keepAlive(*userid, *username, *k1));
}

Answer logout(const HttpRequest& request, const std::string& remoteAddress,
              PortalSessions& sessions)
{
    if (!has(request, "operation", "4"))
        return badRequest();
    // The request names no session, so the requesting address is all there is to go by.
    return page(sessions.logout(remoteAddress) ? "success" : "You are not logged in");
}

} // namespace

Exchange classifyExchange(const HttpRequest& request)
{
    if (request.path == "/isvelmora.php")
        return Exchange::probe;
    if (request.path != "/index.php")
        return Exchange::other;
    const auto pageto = request.param("pageto");
    if (pageto == "c")
        return Exchange::login;
    if (pageto == "ka")
        return Exchange::keepAlive;
    if (pageto == "fbo")
        return Exchange::logout;
    return Exchange::other;
}

Answer portalAnswer(const HttpRequest& request, const std::string& remoteAddress,
                    PortalSessions& sessions)
{
    if (request.path != "/isvelmora.php" && request.path != "/index.php")
        return Answer { .status = 404, .body = "not found", .contentType = plainType };
    if (request.method != "GET")
        return Answer { .status = 405, .body = "method not allowed", .contentType = plainType };
    if (request.path == "/isvelmora.php")
        return page("velmora");

    if (!has(request, "ms", portalKey) || !has(request, "mes", portalKey))
        return badRequest();
    switch (classifyExchange(request)) {
    case Exchange::login:
        return login(request, remoteAddress, sessions);
    case Exchange::keepAlive:
        return keepAlive(request, sessions);
    case Exchange::logout:
        return logout(request, remoteAddress, sessions);
    default:
        return badRequest();
    }
}

} // namespace standin
