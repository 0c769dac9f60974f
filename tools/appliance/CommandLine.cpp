#include "CommandLine.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <stdexcept>

namespace standin {
namespace {

Account parseAccount(const std::string& text)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        throw std::invalid_argument("--user wants NAME:PASSWORD, not \"" + text + "\"");
    return Account { text.substr(0, colon), text.substr(colon + 1), false };
}

std::chrono::milliseconds parseLifetime(const std::string& text)
{
    constexpr long long oneYear = 365LL * 24 * 60 * 60;
    long long seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || seconds < 1
        || seconds > oneYear)
        throw std::invalid_argument("--session-lifetime wants a number of seconds from 1 up, not \""
                                    + text + "\"");
    return std::chrono::seconds(seconds);
}

ListenAddress parseControlAddress(const std::string& text)
{
    // The control listener is plain HTTP whatever the port, unlike a portal listener.
    const bool hasScheme = std::count(text.begin(), text.end(), ':') >= 2;
    ListenAddress where = parseListenAddress(hasScheme ? text : text + ":http");
    if (where.scheme != Scheme::http)
        throw std::invalid_argument("--control serves plain HTTP only");
    return where;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    std::vector<std::string> blocked;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string option = arguments[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = option.find('=');
            option.starts_with("--") && equals != std::string::npos) {
            inlineValue = option.substr(equals + 1);
            option.resize(equals);
        }
        const auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= arguments.size())
                throw std::invalid_argument(option + " needs a value");
            return arguments[++i];
        };

        if (option == "-h" || option == "--help")
            line.helpWanted = true;
        else if (option == "--listen")
            line.options.listeners.push_back(parseListenAddress(value()));
        else if (option == "--user") {
            Account account = parseAccount(value());
            std::erase_if(line.options.accounts,
                          [&account](const Account& other) { return other.user == account.user; });
            line.options.accounts.push_back(std::move(account));
        } else if (option == "--block")
            blocked.push_back(value());
        else if (option == "--session-lifetime")
            line.options.sessionLifetime = parseLifetime(value());
        else if (option == "--control")
            line.options.control = parseControlAddress(value());
        else if (option == "--cert")
            line.options.certificateFile = value();
        else if (option == "--key")
            line.options.keyFile = value();
        else
            throw std::invalid_argument("unknown option \"" + arguments[i] + "\"");
    }
    if (line.helpWanted)
        return line;

    if (line.options.listeners.empty())
        throw std::invalid_argument("give at least one --listen ADDRESS:PORT[:http|https]");
    if (line.options.certificateFile.empty() != line.options.keyFile.empty())
        throw std::invalid_argument("--cert and --key go together");
    for (const std::string& user : blocked) {
        const auto account =
            std::find_if(line.options.accounts.begin(), line.options.accounts.end(),
                         [&user](const Account& a) { return a.user == user; });
        if (account == line.options.accounts.end())
            throw std::invalid_argument("--block " + user + ": no --user " + user
                                        + ":PASSWORD given");
        account->blocked = true;
    }
    return line;
}

std::string usageText()
{
    return R"(Usage: velmora-appliance --listen ADDRESS:PORT[:http|https] [--listen ...] [options]

A stand-in for the captive portal of a Velmora appliance, on loopback only. It serves the
probe page /isvelmora.php and the portal script /index.php (login, keep-alive, logout).

Options:
  --listen ADDRESS:PORT[:SCHEME]  serve on this loopback address (127.0.0.0/8) and port.
                                  Port 0 picks a free port. Without a scheme, port 80 is
                                  http and every other port https, as the client assumes.
                                  Repeatable; at least one is needed.
  --user NAME:PASSWORD            add an account; the password may contain ':'. Repeatable.
  --block NAME                    block the account NAME given with --user. Repeatable.
  --session-lifetime SECONDS      how long a session lives without a keep-alive
                                  (default 60).
  --control ADDRESS:PORT          plain-HTTP test controls on this loopback address;
                                  GET / there lists the endpoints.
  --cert FILE --key FILE          serve HTTPS with this PEM certificate and unencrypted key
                                  instead of a self-signed certificate made at start.
  -h, --help                      print this help and exit.

Example:
  velmora-appliance --listen 127.0.0.1:8090:https --listen 127.0.0.1:80:http \
      --user ann:secret --user bob:pw --block bob --control 127.0.0.1:9099

It prints a line per listener when ready and a line per request (passwords masked), and
stops on Ctrl+C (SIGINT) or SIGTERM. Exit status: 0 after a signal, 1 when it cannot start
(a port taken, an unreadable certificate), 2 for a wrong command line.
)";
}

} // namespace standin
