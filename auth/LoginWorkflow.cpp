#include "auth/VelmoraAuth.h"

#include "app/Ipv4Address.h"
#include "app/OutsideText.h"
#include "app/Trace.h"
#include "auth/IdentityQuestion.h"
#include "auth/InformationBox.h"
#include "portal/HttpEngine.h"
#include "portal/PortalRequests.h"
#include "settings/ByteText.h"
#include "settings/SettingsKey.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <iostream>

namespace {

// The typed port as the search takes it: decimal, leading blanks and a sign allowed, up to the
// first non-digit. A text that does not convert at all (no leading digit, or beyond 32 bits)
// becomes port 0, which no appliance can listen on: every probe of it fails at once, and the
// worker goes on to report.
std::int32_t portNumber(const std::string& text)
{
    try {
        return std::stoi(text);
    } catch (const std::exception&) {
        return 0;
    }
}

// What the form checks call a digit: 0 to 9, nothing else of any locale.
bool isDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool VelmoraAuth::isValidIpAddress(std::string text)
{
    // Four groups of one to three digits joined by single dots, nothing around them; no range
    // check, leading zeros allowed. Read by hand: a regular expression recurses per character,
    // and a long text would exhaust the login thread's stack.
    return velmora::dottedDecimal(text).has_value();
}

bool VelmoraAuth::isValidPort(std::string text)
{
    // One or more digits, any number of them.
    return !text.empty() && std::all_of(text.begin(), text.end(), isDecimalDigit);
}

void VelmoraAuth::startLogin()
{
    traceInfo("start login to firewall");
    {
        std::lock_guard lock(stateMutex);
        errorMessage.clear();
        ++userLogins;
        isLoggedIn = false;
        // Keeps the keep-alive idle until the login exchange says otherwise.
        isLoggedOut = true;
    }
    ui.stackedWidget->setCurrentIndex(1);
    // Disabled before the events are processed: a second press of Login lands on a disabled
    // button and starts nothing.
    ui.stackedWidget->setEnabled(false);
    QCoreApplication::processEvents();
    traceError("opened loading page while login");
    traceError("Initialize thread for login");

    // The worker may not touch a widget: it gets the form as it is at this press.
    const LoginForm form { ui.lineEdit_username->text().toStdString(),
                           ui.lineEdit_password->text().toStdString(),
                           ui.lineEdit_ipAdress->text().toStdString(),
                           ui.lineEdit_portadress->text().toStdString(),
                           isTicked(ui.autoDetectIpAddress),
                           isTicked(ui.autoDetectPortAddress),
                           isTicked(ui.remberMe) };

    auto* loginThread = new QThread(this);
    auto* loginObject = new QObject;
    traceInfo("Connect the thread's started signal to start the lambda function through the "
              "loginObject");
    connect(loginThread, &QThread::started, loginObject, [this, form, loginThread] {
        runLoginWorker(form);
        loginThread->quit();
        workEnds();
    });
    traceInfo("Connect the thread's finished signal to delete it when done");
    connect(loginThread, &QThread::finished, loginThread, &QObject::deleteLater);
    connect(loginThread, &QThread::finished, loginObject, &QObject::deleteLater);
    loginObject->moveToThread(loginThread);

    std::erase_if(workerThreads, [](const QPointer<QThread>& thread) { return thread.isNull(); });
    workerThreads.emplace_back(loginThread);
    workStarts();
    loginThread->start(QThread::InheritPriority);

    // Unless typing the credentials started it, the HTTP client loads while the login thread
    // validates, stores the credentials and traces the route.
    velmora::loadHttpClientAhead();
    // A search that traces the route ends in the "Information" box unless it finds the
    // appliance, and the box's first showing looks its icons up in the icon theme (several
    // milliseconds where the theme has no cache): the GUI thread, idle meanwhile, does it now. A
    // login to a known appliance is not made to share the processor with it.
    bool tracesTheRoute = false;
    {
        std::lock_guard lock(stateMutex);
        tracesTheRoute = form.autoDetectIp && (fixedIP.empty() || !form.autoDetectPort);
    }
    if (tracesTheRoute)
        QTimer::singleShot(0, this, [] { velmora::prepareInformationBox(); });
}

void VelmoraAuth::runLoginWorker(const LoginForm& form)
{
    traceInfo("Get the data from user edit text");
    traceInfo("Get the status of all checkbox");
    traceInfo("Start validation of user data");
    bool valid = true;
    // The console takes the name as the log would: no control character of it acts there.
    std::cout << form.username.size() << '\n' << velmora::outsideText(form.username) << std::endl;

    // The first rule that fails decides; texts are taken as typed, blanks included.
    std::string validationMessage;
    if (form.username.empty())
        validationMessage = "Enter valid username";
    else if (form.password.empty())
        validationMessage = "Enter valid password";
    else if (!form.autoDetectIp && !isValidIpAddress(form.ipText))
        validationMessage = "Enter valid IP address";
    else if (!form.autoDetectPort && !isValidPort(form.portText))
        validationMessage = "Enter valid port address";
    if (!validationMessage.empty()) {
        valid = false;
        setErrorMessage(validationMessage);
    }

    const std::string portText = form.portText.empty() ? "0" : form.portText;
    if (valid)
        traceInfo("Validataion is successfull");
    else
        traceError("Validataion is not successfull");
    const std::int32_t port = portNumber(portText);
    // Only a login that will send the password asks about an appliance's changed identity.
    IdentityQuestion question;
    question.mayAsk = valid;

    // Written whatever the validation says, so the form comes back as it was left.
    traceInfo("Check the rember me is checked or not");
    if (form.rememberMe)
        rememberCredentials(form);
    else
        forgetCredentials();

    traceInfo("Initialize default port address");
    // The console shows asterisks for the password: on Linux it ends up in session logs.
    std::cout << velmora::outsideText(form.username) << "\n....\n********\n"
              << velmora::outsideText(form.ipText) << "\n...\n"
              << portText << '\n'
              << form.autoDetectIp << "..." << form.autoDetectPort << std::endl;

    std::string rememberedIP;
    std::int32_t rememberedPort = 0;
    {
        std::lock_guard lock(stateMutex);
        isConnectedVelmora = false;
        rememberedIP = fixedIP;
        rememberedPort = fixedPort;
    }
    traceInfo("Try to get fixedIP address and fixedPort number");
    bool found = false;
    if (!rememberedIP.empty() && form.autoDetectIp && form.autoDetectPort) {
        traceInfo("User have fixedIP and fixedPort. first check this.");
        found = findIpAndPort(true, true, rememberedIP, rememberedPort, &question);
    } else {
        traceInfo("First time, try to find fixedIP and fixedPort and isHttps");
        found = findIpAndPort(form.autoDetectIp, form.autoDetectPort, form.ipText, port, &question);
    }
    {
        std::lock_guard lock(stateMutex);
        isConnectedVelmora = found;
    }
    traceInfo("Check the isConnectedVelmora and validation flag");

    if (valid && found) {
        traceInfo("Device are connected to Velmora internet and all data are valid.");
        if (!login(form.username, form.password, &question)) {
            std::cout << "login not success" << std::endl;
            traceInfo("Login not success");
        }
    } else if (valid && !loginStopped(&question)) {
        setErrorMessage(velmora::networkFailureMessage);
        traceError(velmora::networkFailureMessage);
    }
    if (question.refused)
        setErrorMessage(velmora::identityRefusedMessage(question.refusedEndpoint));

    traceInfo("Emit a signal to indicate that the login process is finished");
    emit loginFinished();
}

void VelmoraAuth::rememberCredentials(const LoginForm& form)
{
    // Where the desktop has a keyring, the password goes there and the file's value is blank. An
    // empty password leaves the keyring's item alone: a login pressed before a locked keyring
    // answered must not lose it.
    const bool toKeyring = keyringTakesPassword();
    // One group, reported value by value afterwards: a crash leaves the old three or the new.
    std::vector<bool> stored;
    {
        std::lock_guard lock(credentialsMutex);
        stored = registryStore.writeStrings(
            RegistryRoot::CurrentUser, settingsKeyPath,
            { { valueUsername, velmora::widenBytes(form.username) },
              { valuePassword, toKeyring ? u"" : velmora::widenBytes(form.password) },
              { valueRememberMe, u"Yes" } },
            registryError);
    }
    if (toKeyring && !form.password.empty())
        onGuiThread([this, user = form.username, password = form.password] {
            storePasswordInKeyring(user, password);
        });
    const auto reportFailure = [this] {
        std::cout << "Error:" << registryError << std::endl;
        traceError(registryError);
    };

    traceInfo("Set the username into registry......");
    std::cout << "Username registry:" << velmora::outsideText(form.username) << std::endl;
    if (stored[0]) {
        traceInfo("Successfully add username into registry");
        std::cout << "successfully add username into registry" << std::endl;
    } else {
        reportFailure();
    }

    traceInfo("Set the password into registry......");
    std::cout << "Password registry:********" << std::endl;
    if (stored[1]) {
        traceInfo("Successfully add password into registry");
        std::cout << "successfully add password into registry" << std::endl;
    } else {
        reportFailure();
    }

    traceInfo("Set the rememberme into registry......");
    std::cout << "IsRemberme registry:" << 1 << std::endl;
    if (stored[2]) {
        traceInfo("Successfully add isrember into registry");
        std::cout << "successfully add isrememberme into registry" << std::endl;
    } else {
        reportFailure();
    }
}

void VelmoraAuth::forgetCredentials()
{
    // Blanked, not removed: the values stay in the store as empty texts, all three in one group.
    std::vector<bool> blanked;
    {
        std::lock_guard lock(credentialsMutex);
        blanked = registryStore.writeStrings(
            RegistryRoot::CurrentUser, settingsKeyPath,
            { { valueUsername, u"" }, { valuePassword, u"" }, { valueRememberMe, u"" } },
            registryError);
    }
    // The keyring's item goes too, once the login has ended: loading the keyring's library and
    // its bus connection would otherwise share the processor with the exchange the user waits for.
    keepKeyringPassword({}, {});
    if (keyring->isOffered())
        keyringErasePending = true;
    if (std::all_of(blanked.begin(), blanked.end(), [](bool done) { return done; })) {
        traceInfo("Successfully delete username and password into registry");
    } else {
        std::lock_guard lock(stateMutex);
        traceError(errorMessage);
    }
}

void VelmoraAuth::onLoginFinished()
{
    std::cout << "--------------finished login--------------" << std::endl;
    traceInfo("Login is finished.");
    qDebug().noquote() << "\n" << Q_FUNC_INFO << ":\n";

    std::string message;
    bool loggedIn = false;
    {
        std::lock_guard lock(stateMutex);
        message = errorMessage;
        loggedIn = isLoggedIn;
    }
    if (!message.empty()) {
        traceError(velmora::outsideText(message));
        ui.stackedWidget->setCurrentIndex(0);
        velmora::showInformation(nullptr, message);
        ui.stackedWidget->setEnabled(true);
        QCoreApplication::processEvents();
    }
    if (loggedIn) {
        traceInfo("Login is sccussfull");
        ui.stackedWidget->setCurrentIndex(2);
        QCoreApplication::processEvents();
    } else {
        ui.stackedWidget->setCurrentIndex(0);
    }
    // errorMessage stays; the next login clears it.
    ui.stackedWidget->setEnabled(true);
    QCoreApplication::processEvents();
    if (keyringErasePending.exchange(false))
        QTimer::singleShot(0, this, [this] { erasePasswordFromKeyring(); });
}
