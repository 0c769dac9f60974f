#pragma once

#include <string>
#include <string_view>

// How the portal's answers are read. Pure functions over the body of a status-200 answer, so the
// exchanges only act on the outcome (and the outcome can be checked on any body at all).
namespace velmora {

// "kicked out", "blocked by" or "Daily Logout", case-sensitive: the appliance ended the session.
bool containsSessionEndText(std::string_view text);

struct LoginAnswer
{
    enum class Kind {
        Unreadable, // not JSON; trace holds the parser's text
        Unusable, // JSON without what a login answer needs; trace says what is missing
        UnusableSession, // "success" with unusable data: the half-open session is logged out
        Accepted, // userid, username and k1 hold the session values
        Refused, // errors holds the appliance's text, errorsJson the same as JSON text
    };

    Kind kind = Kind::Unreadable;
    std::string trace;
    std::string status; // the "status" value as JSON text, when it exists
    std::string data; // the "data" value as JSON text, when accepted (empty past 100 levels)
    std::string userid;
    std::string username;
    std::string k1;
    std::string errors;
    std::string errorsJson;
};

LoginAnswer readLoginAnswer(const std::string& body);

struct KeepAliveAnswer
{
    enum class Kind {
        Confirmed, // "status" is "success"
        Malformed, // no usable status or errors; trace says what is wrong
        Refused, // errors holds the appliance's reason, errorsJson the same as JSON text
    };

    Kind kind = Kind::Malformed;
    std::string parseError; // the parser's text when the body is not JSON (read as {} then)
    std::string trace;
    std::string status;
    std::string errors;
    std::string errorsJson;
};

KeepAliveAnswer readKeepAliveAnswer(const std::string& body);

} // namespace velmora
