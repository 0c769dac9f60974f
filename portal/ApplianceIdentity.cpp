#include "auth/VelmoraAuth.h"

#include "app/Ipv4Address.h"
#include "app/Trace.h"
#include "settings/ByteText.h"
#include "settings/SettingsKey.h"

namespace {

std::string endpointText(const std::string& address, std::int32_t port)
{
    return address + ":" + std::to_string(port);
}

} // namespace

std::optional<velmora::HttpReply> VelmoraAuth::checkedGet(const Endpoint& given,
                                                          const std::string& path,
                                                          const std::string& userAgent,
                                                          IdentityQuestion* question,
                                                          std::string* shownIdentity)
{
    if (shownIdentity)
        shownIdentity->clear();
    // The HTTP client gets the canonical text only: the system's resolver would read "010" as
    // eight, or take "0x4d" or a single number for some address nobody typed.
    const std::optional<std::string> address = velmora::canonicalIpv4(given.address);
    if (!address) {
        traceError("No request sent: the appliance's address is not an IPv4 address of four "
                   "decimal numbers from 0 to 255.");
        return std::nullopt;
    }
    const Endpoint endpoint { *address, given.port, given.https };
    velmora::HttpEngine::IdentityCheck check;
    if (endpoint.https) {
        std::lock_guard lock(stateMutex);
        check.expected = trustedIdentities.identity(endpoint.address, endpoint.port);
    }
    auto reply =
        requests.get(endpoint.address, endpoint.port, endpoint.https, path, userAgent, &check);
    if (check.mismatch
        && trustChangedIdentity(question, endpoint, check.expected, check.presented)) {
        // The request never left: it goes now, to the appliance the user trusts.
        check = { check.presented, {}, false };
        reply =
            requests.get(endpoint.address, endpoint.port, endpoint.https, path, userAgent, &check);
    }
    if (shownIdentity)
        *shownIdentity = check.mismatch ? std::string() : check.presented;
    return reply;
}

bool VelmoraAuth::trustChangedIdentity(IdentityQuestion* question, const Endpoint& endpoint,
                                       const std::string& remembered, const std::string& shown)
{
    if (!question || question->tellOnly) {
        if (question)
            question->changeSeen = true;
        noteIdentityChange(endpointText(endpoint.address, endpoint.port), shown);
        return false;
    }
    // A login with an invalid form sends no password: it ends with its own message.
    if (!question->mayAsk || question->asked)
        return false;
    question->asked = true;
    const std::string where = endpointText(endpoint.address, endpoint.port);
    traceInfo("Ask the user whether to trust the new identity of the appliance at " + where);
    const Answer answer = askToTrust(where, remembered, shown);
    if (answer == Answer::programEnds) {
        question->programEnded = true;
        traceInfo("The program ends before the user answered about the new identity of the "
                  "appliance at "
                  + where);
        return false;
    }
    if (answer == Answer::no) {
        question->refused = true;
        question->refusedEndpoint = where;
        traceError("The user does not trust the new identity of the appliance at " + where);
        return false;
    }
    {
        std::lock_guard lock(stateMutex);
        trustedIdentities.trust(endpoint.address, endpoint.port, shown);
    }
    storeTrustedIdentities();
    traceInfo("The user trusts the new identity of the appliance at " + where + ": " + shown);
    return true;
}

bool VelmoraAuth::mayUsePlainHttp(IdentityQuestion* question, const std::string& address,
                                  std::int32_t port)
{
    std::string remembered;
    {
        std::lock_guard lock(stateMutex);
        if (trustedIdentities.trustsPlainHttp(address, port))
            return true;
        remembered = trustedIdentities.anyIdentityOf(address);
    }
    if (remembered.empty())
        return true;
    const std::string where = endpointText(address, port);
    if (question && question->tellOnly)
        question->changeSeen = true;
    if (!question || !question->mayAsk || question->asked) {
        traceError("Plain HTTP is not used at " + where
                   + ": the appliance there showed an identity over HTTPS before");
        return false;
    }
    question->asked = true;
    traceInfo("Ask the user whether to trust the appliance at " + where + " over plain HTTP");
    const Answer answer = askToTrust(where, remembered, {});
    if (answer == Answer::programEnds) {
        question->programEnded = true;
        traceInfo("The program ends before the user answered about the appliance at " + where
                  + " over plain HTTP");
        return false;
    }
    if (answer == Answer::no) {
        question->refused = true;
        question->refusedEndpoint = where;
        traceError("The user does not trust the appliance at " + where + " over plain HTTP");
        return false;
    }
    // The question was about this address and port over plain HTTP, nothing more: the keys of
    // the address's other ports stay, or the next key shown there would be trusted unasked.
    {
        std::lock_guard lock(stateMutex);
        trustedIdentities.trustPlainHttp(address, port);
    }
    storeTrustedIdentities();
    traceInfo("The user trusts the appliance at " + where
              + " over plain HTTP; the keys of its other ports stay trusted");
    return true;
}

bool VelmoraAuth::loginStopped(const IdentityQuestion* question)
{
    return question && (question->refused || question->programEnded);
}

void VelmoraAuth::rememberIdentity(const Endpoint& endpoint, const std::string& identity)
{
    if (!endpoint.https || identity.empty())
        return;
    {
        std::lock_guard lock(stateMutex);
        if (!trustedIdentities.identity(endpoint.address, endpoint.port).empty())
            return;
        trustedIdentities.trust(endpoint.address, endpoint.port, identity);
    }
    // Stored with the session values, in their group.
    traceInfo("Remember the identity of the appliance at "
              + endpointText(endpoint.address, endpoint.port) + ": " + identity);
}

void VelmoraAuth::loadTrustedIdentities()
{
    std::u16string stored;
    std::string ignored;
    if (!registryStore.readString(RegistryRoot::CurrentUser, settingsKeyPath,
                                  velmora::trustedIdentitiesValueName, stored, ignored))
        return;
    auto identities = velmora::TrustedIdentities::fromText(velmora::lowBytes(stored));
    std::lock_guard lock(stateMutex);
    trustedIdentities = std::move(identities);
}

void VelmoraAuth::storeTrustedIdentities()
{
    std::string text;
    {
        std::lock_guard lock(stateMutex);
        text = trustedIdentities.text();
    }
    std::string ignored;
    if (!registryStore.writeString(RegistryRoot::CurrentUser, settingsKeyPath,
                                   velmora::trustedIdentitiesValueName, velmora::widenBytes(text),
                                   ignored))
        traceError("Cannot store the identities of the appliances");
}
