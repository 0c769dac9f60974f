// The portal paths built from values the user or the appliance chose.

#include "FuzzSupport.h"
#include "portal/PortalRequests.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

namespace {

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
        || c == '.' || c == '_' || c == '~';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower case included: the encoding writes upper-case hex only
}

// Checks the encoding's alphabet and undoes it; the value must come back byte for byte.
std::string decoded(std::string_view encoded)
{
    std::string value;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            FUZZ_CHECK(isUnreserved(encoded[i]), encoded);
            value += encoded[i];
            continue;
        }
        FUZZ_CHECK(i + 2 < encoded.size(), encoded);
        const int high = hexValue(encoded[i + 1]);
        const int low = hexValue(encoded[i + 2]);
        FUZZ_CHECK(high >= 0 && low >= 0, encoded);
        const auto byte = static_cast<char>(high * 16 + low);
        // Only what would otherwise be read as query syntax, or is not printable, is encoded.
        FUZZ_CHECK(!isUnreserved(byte), encoded);
        value += byte;
        i += 2;
    }
    return value;
}

struct Parameter
{
    std::string name;
    std::string value;
};

// The query as the portal script splits it: at every '&', then at the first '='.
std::vector<Parameter> queryOf(const std::string& path, std::string_view page)
{
    FUZZ_CHECK(path.starts_with("/index.php?pageto="), path);
    // One query, nothing the client would cut off or encode on its own.
    const std::size_t question = path.find('?');
    FUZZ_CHECK(path.find_first_of("?# +\r\n", question + 1) == std::string::npos, path);
    std::vector<Parameter> query;
    std::size_t from = question + 1;
    while (true) {
        const std::size_t end = std::min(path.find('&', from), path.size());
        const std::string field = path.substr(from, end - from);
        const std::size_t equals = field.find('=');
        FUZZ_CHECK(equals != std::string::npos, path);
        FUZZ_CHECK(field.find('=', equals + 1) == std::string::npos, path);
        query.push_back({ field.substr(0, equals), field.substr(equals + 1) });
        if (end == path.size())
            break;
        from = end + 1;
    }
    FUZZ_CHECK(query.front().name == "pageto" && query.front().value == page, path);
    return query;
}

// The parameters in order; values named by an empty string are the fixed ones and are checked
// for their own text.
void checkQuery(const std::string& path, std::string_view page,
                const std::vector<std::pair<std::string_view, std::string_view>>& expected)
{
    const std::vector<Parameter> query = queryOf(path, page);
    FUZZ_CHECK(query.size() == expected.size() + 1, path);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Parameter& parameter = query[i + 1];
        FUZZ_CHECK(parameter.name == expected[i].first, path);
        FUZZ_CHECK(decoded(parameter.value) == expected[i].second, path);
    }
}

constexpr std::string_view fixedValue = "kq52vnwpex317t9hmzol8";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string user = input.ConsumeRandomLengthString();
    const std::string password = input.ConsumeRandomLengthString();
    const std::string userid = input.ConsumeRandomLengthString();
    const std::string username = input.ConsumeRandomLengthString();
    const std::string k1 = input.ConsumeRemainingBytesAsString();

    for (const std::string& value : { user, password, userid, username, k1 }) {
        const std::string encoded = velmora::percentEncoded(value);
        FUZZ_CHECK(decoded(encoded) == value, encoded);
    }

    checkQuery(velmora::loginPath(user, password), "c",
               { { "ms", fixedValue },
                 { "mes", fixedValue },
                 { "fixeduserid", user },
                 { "loginMethod", "6" },
                 { "password", password },
                 { "portal", "1" },
                 { "stage", "9" } });
    // The console's copy differs in the password alone.
    std::string masked = velmora::loginPath(user, {});
    masked.insert(masked.find("&password=") + 10, "********");
    FUZZ_CHECK(velmora::maskedLoginPath(user) == masked, velmora::maskedLoginPath(user));
    checkQuery(velmora::keepAlivePath(userid, username, k1), "ka",
               { { "ms", fixedValue },
                 { "mes", fixedValue },
                 { "u", userid },
                 { "username", username },
                 { "k1", k1 } });
    checkQuery(velmora::logoutPath(), "fbo",
               { { "operation", "4" }, { "ms", fixedValue }, { "mes", fixedValue } });
    return 0;
}
