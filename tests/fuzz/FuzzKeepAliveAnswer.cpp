// The keep-alive exchange's reading of a reply, and the logout's, on the same inputs: the same
// status rule, then the keep-alive's JSON classification and the logout's bare-word rule.

#include "FuzzSupport.h"
#include "portal/PortalAnswers.h"

#include <nlohmann/json.hpp>

using nlohmann::json;
using velmora::KeepAliveAnswer;
using Kind = KeepAliveAnswer::Kind;

namespace {

void checkAnswer(const std::string& body)
{
    KeepAliveAnswer answer;
    try {
        answer = velmora::readKeepAliveAnswer(body);
    } catch (const std::exception& error) {
        // The exchange would end in its outer catch instead of reading the body as "{}".
        fuzz::fail("readKeepAliveAnswer threw", __FILE__, __LINE__, error.what());
    }

    const json document = json::parse(body, nullptr, false);
    // Not JSON: the parser's text is traced and the body is read as an empty answer.
    FUZZ_CHECK(answer.parseError.empty() == !document.is_discarded(), body);
    if (document.is_discarded()) {
        FUZZ_CHECK(answer.parseError.starts_with("[json.exception."), answer.parseError);
        FUZZ_CHECK(answer.kind == Kind::Malformed && answer.status.empty(), body);
        FUZZ_CHECK(answer.trace == "keepalive json doesn't contain status", answer.trace);
        return;
    }

    const bool hasStatus = document.is_object() && document.contains("status");
    FUZZ_CHECK(answer.status == (hasStatus ? document.at("status").dump() : std::string()),
               answer.status);
    const json* status = hasStatus ? &document.at("status") : nullptr;
    const bool confirmed = status && status->is_string() && *status == "success";
    FUZZ_CHECK((answer.kind == Kind::Confirmed) == confirmed, body);

    const bool refused = status && status->is_string() && !confirmed && document.contains("errors")
        && document.at("errors").is_string();
    FUZZ_CHECK((answer.kind == Kind::Refused) == refused, body);

    if (answer.kind == Kind::Confirmed)
        FUZZ_CHECK(answer.trace.empty(), answer.trace);
    if (answer.kind == Kind::Malformed)
        FUZZ_CHECK(!answer.trace.empty(), body);
    if (answer.kind != Kind::Refused) {
        FUZZ_CHECK(answer.errors.empty() && answer.errorsJson.empty(), body);
        return;
    }

    // The reason, plain and quoted; the error line is the quoted one.
    const json& errors = document.at("errors");
    FUZZ_CHECK(answer.errors == errors.get_ref<const std::string&>(), answer.errors);
    FUZZ_CHECK(answer.errorsJson == errors.dump() && answer.trace == answer.errorsJson,
               answer.errorsJson);
    const json back = json::parse(answer.errorsJson, nullptr, false);
    FUZZ_CHECK(!back.is_discarded() && back == answer.errors, answer.errorsJson);

    // The recovery asks this of the plain reason; it must answer for any text at all.
    fuzz::checkSessionEndRule(answer.errors, velmora::containsSessionEndText(answer.errors),
                              velmora::containsSessionEndText);
}

// The logout confirms only on the bare word: no JSON answer can ever look like it, so a body
// never confirms both a logout and a keep-alive.
void checkLogoutWord(const std::string& body)
{
    if (body != "success")
        return;
    const KeepAliveAnswer answer = velmora::readKeepAliveAnswer(body);
    FUZZ_CHECK(answer.kind == Kind::Malformed && !answer.parseError.empty(), body);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::Reply reply = fuzz::replyFrom(data, size);
    if (fuzz::routeOf(reply) != fuzz::Route::Body)
        return 0;
    checkAnswer(reply.body);
    checkLogoutWord(reply.body);
    return 0;
}
