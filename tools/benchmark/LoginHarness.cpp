// The in-process part of the benchmark: it drives the real window on the X display the way a
// person does and times, from inside the process, what a person waits for. It maps no TLS
// library of its own: the program's typing loads it, as in a real start.
//
//   velmora-bench-login login HOST PORT USER PASSWORD RESULT_FILE
//       a login with a typed address and port (both boxes unticked) against a stand-in over
//       HTTPS: from the Login press to the connected page, enabled again
//   velmora-bench-login discovery GATEWAY... RESULT_FILE
//       a login with both boxes ticked whose search is given these gateways, which must refuse
//       every port: from the Login press to the box with the network message
//   velmora-bench-login prepare-session HOST PORT USER PASSWORD
//       logs in through the window and leaves the session in the settings store, so that the
//       program started next with the same home revives it
//
// Each measure is one line "name value" of the result file. Exit status 0 when the run did what
// it had to, 1 with a message on standard error otherwise.
#include "app/Entry.h"
#include "app/ProcessSignals.h"
#include "FakeTrace.h"
#include "portal/HttpClient.h"
#include "portal/PortalRequests.h"
#include "support/VelmoraAuthInspector.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The search fails before any login; the form only has to pass its checks.
constexpr char anyUser[] = "bench";
constexpr char anyPassword[] = "secret";
constexpr auto measureTimeout = std::chrono::seconds(60);

// The search's default ports, in its order.
constexpr int defaultPorts[] = { 8090, 443, 80 };

// A person types for seconds, and the HTTP module that their first key starts loading (8 to 12
// ms: libcurl and its libraries) is in place long before they press Login. The harness types in
// no time: it waits for that load, as the loader's own callers do, before it presses.
void finishTyping()
{
    if (!velmora::httpClientApi())
        throw std::runtime_error("the HTTP module did not load");
}

double millisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Runs the event loop until done() holds or the time is up. The watchers below wake it when
// something they watch happens, so nothing polls while a measure runs.
class Waiter
{
public:
    explicit Waiter(std::function<bool()> done)
        : m_done(std::move(done))
    {
    }

    void wake()
    {
        if (m_done())
            m_loop.quit();
    }

    bool run()
    {
        if (m_done())
            return true;
        QTimer::singleShot(measureTimeout, &m_loop, &QEventLoop::quit);
        m_loop.exec();
        return m_done();
    }

private:
    std::function<bool()> m_done;
    QEventLoop m_loop;
};

// Takes the time at which the stacked widget shows the given page and is enabled, from the
// widget's own events.
class PageWatch : public QObject
{
public:
    PageWatch(QStackedWidget* stack, int page, std::function<void()> onChange)
        : m_stack(stack)
        , m_page(page)
        , m_onChange(std::move(onChange))
    {
        stack->installEventFilter(this);
        connect(stack, &QStackedWidget::currentChanged, this, [this] { check(); });
    }

    std::optional<Clock::time_point> reachedAt() const { return m_at; }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange)
            check();
        return false;
    }

private:
    void check()
    {
        if (!m_at && m_stack->currentIndex() == m_page && m_stack->isEnabled()) {
            m_at = Clock::now();
            m_onChange();
        }
    }

    QStackedWidget* m_stack;
    int m_page;
    std::function<void()> m_onChange;
    std::optional<Clock::time_point> m_at;
};

// Takes the time at which the first message box is shown, keeps its text and closes it.
class MessageBoxWatch : public QObject
{
public:
    explicit MessageBoxWatch(std::function<void()> onChange)
        : m_onChange(std::move(onChange))
    {
        qApp->installEventFilter(this);
    }

    std::optional<Clock::time_point> shownAt() const { return m_at; }
    const QString& text() const { return m_text; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && !m_at) {
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                m_at = Clock::now();
                m_text = box->text();
                QTimer::singleShot(0, box, &QDialog::accept);
                m_onChange();
            }
        }
        return false;
    }

private:
    std::function<void()> m_onChange;
    std::optional<Clock::time_point> m_at;
    QString m_text;
};

void type(QLineEdit* field, const std::string& text)
{
    field->clear();
    QTest::keyClicks(field, QString::fromStdString(text));
}

void clickBox(QCheckBox* box)
{
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(8, box->height() / 2));
}

// The window as the program shows it, on the display, ready for input.
std::unique_ptr<VelmoraAuth> showWindow()
{
    auto window = std::make_unique<VelmoraAuth>();
    shapeMainWindow(*window);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        throw std::runtime_error("the window was not exposed on the display");
    return window;
}

// Fills the form for a login at a typed address and port, both boxes unticked, and times the
// press of Login up to the connected page being usable.
double timeTypedLogin(VelmoraAuth& window, const std::string& host, int port,
                      const std::string& user, const std::string& password)
{
    VelmoraAuthInspector inspect(window);
    auto& ui = inspect.ui();
    clickBox(ui.autoDetectIpAddress);
    clickBox(ui.autoDetectPortAddress);
    if (ui.autoDetectIpAddress->isChecked() || ui.autoDetectPortAddress->isChecked())
        throw std::runtime_error("the auto-detect boxes did not untick");
    type(ui.lineEdit_username, user);
    type(ui.lineEdit_password, password);
    type(ui.lineEdit_ipAdress, host);
    type(ui.lineEdit_portadress, std::to_string(port));
    finishTyping();

    std::optional<Clock::time_point> reached;
    Waiter waiter([&] { return reached.has_value(); });
    PageWatch connected(ui.stackedWidget, 2, [&] {
        reached = connected.reachedAt();
        waiter.wake();
    });
    const auto pressed = Clock::now();
    QTest::mouseClick(ui.login, Qt::LeftButton);
    if (!waiter.run())
        throw std::runtime_error("the connected page did not come: " + inspect.errorMessage());
    if (!inspect.isLoggedIn())
        throw std::runtime_error("the connected page came without a session");
    return millisecondsBetween(pressed, *reached);
}

void writeResults(const std::string& file,
                  const std::vector<std::pair<std::string, double>>& results)
{
    std::ofstream out(file, std::ios::app);
    for (const auto& [name, value] : results)
        out << name << ' ' << value << '\n';
    if (!out.flush())
        throw std::runtime_error("cannot write " + file);
}

void measureLogin(const std::string& host, int port, const std::string& user,
                  const std::string& password, const std::string& resultFile)
{
    auto window = showWindow();
    const double programMs = timeTypedLogin(*window, host, port, user, password);
    writeResults(resultFile, { { "login-program-ms", programMs } });
}

// Trace lines whose message is exactly the text ("... port 80" is not "... port 8090").
int countTraceLines(const std::string& file, const std::string& message)
{
    std::ifstream in(file);
    int found = 0;
    for (std::string line; std::getline(in, line);)
        found += line.ends_with("()] - " + message);
    return found;
}

void measureDiscovery(const std::string& resultFile, const std::vector<std::string>& gateways)
{
    auto window = showWindow();
    VelmoraAuthInspector inspect(*window);
    auto& ui = inspect.ui();
    if (!ui.autoDetectIpAddress->isChecked() || !ui.autoDetectPortAddress->isChecked()
        || !inspect.fixedIP().empty())
        throw std::runtime_error("the form does not start with both boxes ticked and no "
                                 "remembered appliance");
    // The gateway list given by the benchmark; the real route is never traced.
    inspect.setGatewayTraceCommand(velmora::bench::fakeTraceCommand(gateways));
    type(ui.lineEdit_username, anyUser);
    type(ui.lineEdit_password, anyPassword);
    finishTyping();

    const char* state = std::getenv("XDG_STATE_HOME");
    if (!state)
        throw std::runtime_error("XDG_STATE_HOME is not set");
    const std::string logFile = std::string(state) + "/Velmora/logs/app.log";

    // Done when the box has been shown and closed again and the form is usable.
    std::function<void()> wake;
    MessageBoxWatch box([&] { wake(); });
    PageWatch loginPage(ui.stackedWidget, 0, [&] { wake(); });
    Waiter waiter([&] { return box.shownAt() && loginPage.reachedAt(); });
    wake = [&] {
        waiter.wake();
    };
    const auto pressed = Clock::now();
    QTest::mouseClick(ui.login, Qt::LeftButton);
    if (!waiter.run())
        throw std::runtime_error("the search did not end with a message box");
    const double programMs = millisecondsBetween(pressed, *box.shownAt());
    if (box.text().toStdString() != velmora::networkFailureMessage)
        throw std::runtime_error("unexpected message: " + box.text().toStdString());

    // Every candidate probed, one after another: both gateways on each default port.
    for (const std::string& gateway : gateways) {
        for (const int port : defaultPorts) {
            const std::string line =
                "start check isVelmora with ip " + gateway + " and port " + std::to_string(port);
            if (countTraceLines(logFile, line) != 1)
                throw std::runtime_error("the log lacks \"" + line + "\"");
        }
    }

    writeResults(resultFile, { { "discovery-program-ms", programMs } });
}

void prepareSession(const std::string& host, int port, const std::string& user,
                    const std::string& password)
{
    auto window = showWindow();
    timeTypedLogin(*window, host, port, user, password);
}

} // namespace

int main(int argc, char* argv[])
{
    velmora::ignoreBrokenPipes();
    QApplication application(argc, argv);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        if (arguments.size() == 6 && arguments[0] == "login")
            measureLogin(arguments[1], std::stoi(arguments[2]), arguments[3], arguments[4],
                         arguments[5]);
        else if (arguments.size() >= 3 && arguments[0] == "discovery")
            measureDiscovery(arguments.back(), { arguments.begin() + 1, arguments.end() - 1 });
        else if (arguments.size() == 5 && arguments[0] == "prepare-session")
            prepareSession(arguments[1], std::stoi(arguments[2]), arguments[3], arguments[4]);
        else {
            std::cerr << "usage: velmora-bench-login login HOST PORT USER PASSWORD RESULT_FILE\n"
                         "       velmora-bench-login discovery GATEWAY... RESULT_FILE\n"
                         "       velmora-bench-login prepare-session HOST PORT USER PASSWORD\n";
            return 2;
        }
    } catch (const std::exception& error) {
        std::cerr << "velmora-bench-login: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
