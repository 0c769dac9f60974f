#include "portal/PortalAnswers.h"

#include <nlohmann/json.hpp>

#include <array>
#include <utility>
#include <vector>

namespace velmora {

using nlohmann::json;

namespace {

LoginAnswer loginOutcome(LoginAnswer::Kind kind, std::string trace, std::string status = {})
{
    LoginAnswer answer;
    answer.kind = kind;
    answer.trace = std::move(trace);
    answer.status = std::move(status);
    return answer;
}

KeepAliveAnswer keepAliveOutcome(KeepAliveAnswer::Kind kind, std::string trace,
                                 std::string parseError, std::string status = {})
{
    KeepAliveAnswer answer;
    answer.kind = kind;
    answer.trace = std::move(trace);
    answer.parseError = std::move(parseError);
    answer.status = std::move(status);
    return answer;
}

// The "data" object is only echoed on the console, but dumping it recurses once per level: an
// answer nested many thousands deep would exhaust the login thread's stack. Real answers are flat.
constexpr std::size_t deepestEchoedData = 100;

bool nestedDeeperThan(const json& value, std::size_t levels)
{
    // A list of its own instead of recursion, for the same reason.
    std::vector<std::pair<const json*, std::size_t>> pending { { &value, 1 } };
    while (!pending.empty()) {
        const auto [node, level] = pending.back();
        pending.pop_back();
        if (level > levels)
            return true;
        if (node->is_structured()) {
            for (const json& element : *node)
                pending.emplace_back(&element, level + 1);
        }
    }
    return false;
}

// The appliance's name for the user is kept, stored and sent back with every keep-alive: a name
// too long for any real account, or one that holds control characters, is no name at all.
constexpr std::size_t longestSessionName = 256;

bool isUsableName(const std::string& name)
{
    if (name.size() > longestSessionName)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        // C0 and DEL, and C1 as UTF-8 (0xC2 0x80 to 0xC2 0x9F).
        if (byte < 0x20 || byte == 0x7F
            || (byte == 0xC2 && i + 1 < name.size()
                && static_cast<unsigned char>(name[i + 1]) <= 0x9F
                && static_cast<unsigned char>(name[i + 1]) >= 0x80))
            return false;
    }
    return true;
}

} // namespace

bool containsSessionEndText(std::string_view text)
{
    static constexpr std::array<std::string_view, 3> endings { "kicked out", "blocked by",
                                                               "Daily Logout" };
    for (const std::string_view ending : endings) {
        if (text.find(ending) != std::string_view::npos)
            return true;
    }
    return false;
}

LoginAnswer readLoginAnswer(const std::string& body)
{
    using Kind = LoginAnswer::Kind;
    json answer;
    try {
        answer = json::parse(body);
    } catch (const json::exception& error) {
        // Not only parse_error: a number beyond a double's range is refused with out_of_range.
        return loginOutcome(Kind::Unreadable, error.what());
    }

    if (!answer.is_object() || !answer.contains("status"))
        return loginOutcome(Kind::Unusable, "JSON doesn't contain status.");
    const json& status = answer.at("status");
    if (!status.is_string())
        return loginOutcome(Kind::Unusable, "Data type of status is not string", status.dump());

    if (status.get_ref<const std::string&>() != "success") {
        if (!answer.contains("errors"))
            return loginOutcome(Kind::Unusable, "Json doesn't conatain key 'error'", status.dump());
        const json& errors = answer.at("errors");
        if (!errors.is_string())
            return loginOutcome(Kind::Unusable, "Data type of error is not string.", status.dump());
        LoginAnswer refused = loginOutcome(Kind::Refused, {}, status.dump());
        refused.errors = errors.get<std::string>();
        refused.errorsJson = errors.dump();
        return refused;
    }

    if (!answer.contains("data"))
        return loginOutcome(Kind::UnusableSession, "Json doesn't conatain any data", status.dump());
    const json& data = answer.at("data");
    if (!data.is_object())
        return loginOutcome(Kind::UnusableSession, "Data type of data key is not object",
                            status.dump());
    if (!data.contains("userid"))
        return loginOutcome(Kind::Unusable, "json data doesn't contain any userid", status.dump());
    if (!data.at("userid").is_number())
        return loginOutcome(Kind::UnusableSession, "Data type of userid is not number",
                            status.dump());
    if (data.contains("username")
        && (!data.at("username").is_string()
            || !isUsableName(data.at("username").get_ref<const std::string&>())))
        return loginOutcome(Kind::UnusableSession, "Data type of username is not string",
                            status.dump());
    if (!data.contains("username"))
        return loginOutcome(Kind::Unusable, "json data doesn't contain any username",
                            status.dump());
    if (!data.contains("k1"))
        return loginOutcome(Kind::UnusableSession, "json data doesn't contain any k1",
                            status.dump());
    if (!data.at("k1").is_number())
        return loginOutcome(Kind::UnusableSession, "Data type of k1 is not number", status.dump());

    LoginAnswer accepted = loginOutcome(Kind::Accepted, {}, status.dump());
    if (!nestedDeeperThan(data, deepestEchoedData))
        accepted.data = data.dump();
    accepted.userid = data.at("userid").dump();
    // The name's JSON text without its quotation marks: escapes stay as the appliance sent them.
    const std::string name = data.at("username").dump();
    accepted.username = name.substr(1, name.size() - 2);
    accepted.k1 = data.at("k1").dump();
    return accepted;
}

KeepAliveAnswer readKeepAliveAnswer(const std::string& body)
{
    using Kind = KeepAliveAnswer::Kind;
    json answer;
    std::string parseError;
    try {
        answer = json::parse(body);
    } catch (const json::exception& error) {
        // Carry on with an empty answer: it has no status, which says the rest. (A number beyond
        // a double's range comes as out_of_range, not parse_error.)
        parseError = error.what();
        answer = json();
    }

    if (!answer.is_object() || !answer.contains("status"))
        return keepAliveOutcome(Kind::Malformed, "keepalive json doesn't contain status",
                                parseError);
    const json& status = answer.at("status");
    if (!status.is_string())
        return keepAliveOutcome(Kind::Malformed,
                                "keepalive json['stattus'] data type is not string", parseError,
                                status.dump());
    if (status.get_ref<const std::string&>() == "success")
        return keepAliveOutcome(Kind::Confirmed, {}, parseError, status.dump());
    if (!answer.contains("errors"))
        return keepAliveOutcome(Kind::Malformed, "keepalive json doesn't contain error", parseError,
                                status.dump());
    const json& errors = answer.at("errors");
    if (!errors.is_string())
        return keepAliveOutcome(Kind::Malformed, "keepalive json['error'] data type is not string",
                                parseError, status.dump());

    KeepAliveAnswer refused =
        keepAliveOutcome(Kind::Refused, errors.dump(), parseError, status.dump());
    refused.errors = errors.get<std::string>();
    refused.errorsJson = errors.dump();
    return refused;
}

} // namespace velmora
