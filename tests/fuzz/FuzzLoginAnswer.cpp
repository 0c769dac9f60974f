// The login exchange's reading of a reply: status rule first, then the answer's classification.

#include "FuzzSupport.h"
#include "portal/PortalAnswers.h"

#include <nlohmann/json.hpp>

#include <vector>

using nlohmann::json;
using velmora::LoginAnswer;
using Kind = LoginAnswer::Kind;

namespace {

// Levels of nesting, counted without recursion: the inputs may nest far deeper than any stack.
std::size_t depthOf(const json& value)
{
    std::size_t deepest = 0;
    std::vector<std::pair<const json*, std::size_t>> pending { { &value, 1 } };
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        if (node->is_structured()) {
            for (const json& element : *node)
                pending.emplace_back(&element, depth + 1);
        }
    }
    return deepest;
}

// A name the client may keep and send back every 4 seconds: a string of at most 256 bytes with no
// C0 or C1 control character and no DEL. Judged on the name as JSON writes it in ASCII, where
// each of them is an escape of its own.
bool isKeepableName(const json& name)
{
    if (!name.is_string() || name.get_ref<const std::string&>().size() > 256)
        return false;
    const std::string ascii = name.dump(-1, ' ', true);
    for (const char* control :
         { "\\b", "\\f", "\\n", "\\r", "\\t", "\\u000", "\\u001", "\\u007f", "\\u008", "\\u009" }) {
        for (std::size_t at = ascii.find(control); at != std::string::npos;
             at = ascii.find(control, at + 1)) {
            // Not the second half of an escaped backslash ("\\\\t" is a backslash and a t).
            std::size_t backslashes = 0;
            while (at > backslashes && ascii[at - 1 - backslashes] == '\\')
                ++backslashes;
            if (backslashes % 2 == 0)
                return false;
        }
    }
    return true;
}

bool isSuccess(const json& status)
{
    return status.is_string() && status.get_ref<const std::string&>() == "success";
}

// A session value's text must read back as the very number the appliance sent.
void checkNumberText(const std::string& text, const json& sent, const std::string& body)
{
    FUZZ_CHECK(!text.empty(), body);
    const json back = json::parse(text, nullptr, false);
    FUZZ_CHECK(!back.is_discarded() && back.is_number(), text);
    FUZZ_CHECK(back == sent, text);
    // An integer as plain decimal digits: the keep-alive sends it back as the appliance wrote it.
    if (sent.is_number_integer())
        FUZZ_CHECK(text.find_first_not_of("-0123456789") == std::string::npos, text);
}

void checkAccepted(const LoginAnswer& answer, const json& data, const std::string& body)
{
    checkNumberText(answer.userid, data.at("userid"), body);
    checkNumberText(answer.k1, data.at("k1"), body);

    // The name as JSON text without its quotation marks: quoting it again gives the name back,
    // and control characters stay escaped (the name goes into the store and the keep-alive).
    const json& name = data.at("username");
    const json quoted = json::parse('"' + answer.username + '"', nullptr, false);
    FUZZ_CHECK(!quoted.is_discarded() && quoted == name, answer.username);
    for (const char c : answer.username)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20, answer.username);

    // Only echoed on the console: whole when shallow, left out when too deep to dump safely.
    const std::size_t depth = depthOf(data);
    if (depth <= 64)
        FUZZ_CHECK(answer.data == data.dump(), answer.data);
    else if (depth > 100)
        FUZZ_CHECK(answer.data.empty(), answer.data);
}

void checkRefused(const LoginAnswer& answer, const json& errors)
{
    FUZZ_CHECK(answer.errors == errors.get_ref<const std::string&>(), answer.errors);
    FUZZ_CHECK(answer.errorsJson == errors.dump(), answer.errorsJson);
    // The quoted form the user sees must still say exactly what the appliance said.
    const json back = json::parse(answer.errorsJson, nullptr, false);
    FUZZ_CHECK(!back.is_discarded() && back.is_string() && back == answer.errors,
               answer.errorsJson);
}

void checkAnswer(const std::string& body)
{
    LoginAnswer answer;
    try {
        answer = velmora::readLoginAnswer(body);
    } catch (const std::exception& error) {
        // The exchange would end in its outer catch and skip the parse-error handling.
        fuzz::fail("readLoginAnswer threw", __FILE__, __LINE__, error.what());
    }

    const bool traced = !answer.trace.empty();
    const json document = json::parse(body, nullptr, false);
    if (document.is_discarded()) {
        FUZZ_CHECK(answer.kind == Kind::Unreadable, body);
        FUZZ_CHECK(answer.trace.starts_with("[json.exception."), answer.trace);
        return;
    }
    FUZZ_CHECK(answer.kind != Kind::Unreadable, body);

    const bool hasStatus = document.is_object() && document.contains("status");
    FUZZ_CHECK(answer.status == (hasStatus ? document.at("status").dump() : std::string()),
               answer.status);
    const bool success = hasStatus && isSuccess(document.at("status"));

    const json* data = success && document.contains("data") ? &document.at("data") : nullptr;
    const bool usable = data && data->is_object() && data->contains("userid")
        && data->at("userid").is_number() && data->contains("username")
        && isKeepableName(data->at("username")) && data->contains("k1")
        && data->at("k1").is_number();
    FUZZ_CHECK((answer.kind == Kind::Accepted) == usable, body);

    const bool refused = hasStatus && document.at("status").is_string() && !success
        && document.contains("errors") && document.at("errors").is_string();
    FUZZ_CHECK((answer.kind == Kind::Refused) == refused, body);

    // A logout goes out only for a half-open session: the appliance said "success".
    if (answer.kind == Kind::UnusableSession)
        FUZZ_CHECK(success, body);
    // ... and never when the data lacks the user's id or name (no session to end).
    if (success && answer.kind == Kind::Unusable) {
        FUZZ_CHECK(data && data->is_object(), body);
        FUZZ_CHECK(!data->contains("userid")
                       || (data->at("userid").is_number() && !data->contains("username")),
                   body);
    }

    // Every failure is traced; an acceptance or a refusal is reported otherwise.
    const bool reported = answer.kind == Kind::Accepted || answer.kind == Kind::Refused;
    FUZZ_CHECK(traced != reported, body);

    if (answer.kind == Kind::Accepted)
        checkAccepted(answer, *data, body);
    else
        FUZZ_CHECK(answer.userid.empty() && answer.username.empty() && answer.k1.empty(), body);
    if (answer.kind == Kind::Refused)
        checkRefused(answer, document.at("errors"));
    else
        FUZZ_CHECK(answer.errors.empty() && answer.errorsJson.empty(), body);

    // The refusal handling asks this of the plain text; it must answer for any text at all.
    fuzz::checkSessionEndRule(answer.errors, velmora::containsSessionEndText(answer.errors),
                              velmora::containsSessionEndText);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::Reply reply = fuzz::replyFrom(data, size);
    // No answer and a status other than 200 end the exchange before the body is read.
    if (fuzz::routeOf(reply) == fuzz::Route::Body)
        checkAnswer(reply.body);
    return 0;
}
