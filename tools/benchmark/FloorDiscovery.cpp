// The floor of the discovery measure: the work a search that finds nothing cannot do without,
// done by a bare program with the same window on the same display. From the moment its event
// loop runs to the box shown:
//   - the same tracer command, started the same way (popen, read to its end);
//   - the same six fresh requests, made with libcurl as velmora-auth makes them: for each gateway
//     the probe on 8090 and 443 over HTTPS and on 80 over HTTP, each of which must be refused
//     (libcurl is in place before, as the program's typing loaded its HTTP module);
//   - one small file written and synced, as the form's settings are;
//   - the same message box, with the same text, over the window.
//
//   velmora-bench-discovery-floor RESULT_FILE GATEWAY...
//
// Writes "discovery-bare-ms milliseconds" to the result file. Exit status 0 when the work went
// as it must, 1 with a message on standard error otherwise.
#include "FakeTrace.h"
#include "portal/PortalRequests.h"

#include <curl/curl.h>

#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QMessageBox>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string readCommand(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("the tracer command did not start");
    std::string output;
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    ::pclose(pipe);
    return output;
}

// One fresh handle per request; true when the request was refused, as it must be.
bool refused(const std::string& gateway, int port)
{
    const bool https = port != 80;
    const std::string url =
        (https ? "https://" : "http://") + gateway + ":" + std::to_string(port) + "/isvelmora.php";
    CURL* handle = curl_easy_init();
    if (!handle)
        throw std::runtime_error("libcurl gave no handle");
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 4000L);
    const CURLcode result = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    return result == CURLE_COULDNT_CONNECT;
}

void writeAndSync(const QString& path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("[General]\nuser=bench\n") < 0
        || !file.commit())
        throw std::runtime_error("the settings file could not be written");
}

// Records when a message box is shown and closes it again, as the harness does for the program.
class BoxWatch : public QObject
{
public:
    std::optional<Clock::time_point> shownAt;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && !shownAt) {
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                shownAt = Clock::now();
                QTimer::singleShot(0, box, &QDialog::accept);
            }
        }
        return false;
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.size() < 2) {
        std::cerr << "usage: velmora-bench-discovery-floor RESULT_FILE GATEWAY...\n";
        return 2;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::cerr << "velmora-bench-discovery-floor: libcurl did not start\n";
        return 1;
    }
    std::vector<std::string> gateways;
    for (const QString& gateway : arguments.mid(1))
        gateways.push_back(gateway.toStdString());

    QMainWindow window;
    window.setFixedSize(400, 600);
    window.show();
    BoxWatch watch;
    application.installEventFilter(&watch);

    int status = 0;
    QTimer::singleShot(0, &window, [&] {
        try {
            const auto start = Clock::now();
            if (readCommand(velmora::bench::fakeTraceCommand(gateways)).empty())
                throw std::runtime_error("the tracer command printed nothing");
            for (const std::string& gateway : gateways) {
                for (const int port : { 8090, 443, 80 }) {
                    if (!refused(gateway, port))
                        throw std::runtime_error(gateway + ":" + std::to_string(port)
                                                 + " was not refused");
                }
            }
            writeAndSync(
                QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
                    .filePath(QStringLiteral("velmora-bench-floor.conf")));
            QMessageBox box(QMessageBox::Information, QStringLiteral("Information"),
                            QString::fromStdString(velmora::networkFailureMessage), QMessageBox::Ok,
                            &window);
            box.setTextFormat(Qt::PlainText);
            box.exec();
            if (!watch.shownAt)
                throw std::runtime_error("the box was never shown");
            std::ofstream(arguments.front().toStdString())
                << "discovery-bare-ms "
                << std::chrono::duration<double, std::milli>(*watch.shownAt - start).count()
                << '\n';
        } catch (const std::exception& error) {
            std::cerr << "velmora-bench-discovery-floor: " << error.what() << std::endl;
            status = 1;
        }
        application.quit();
    });
    application.exec();
    return status;
}
