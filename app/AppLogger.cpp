#include "app/AppLogger.h"

#include "app/LogLocation.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// A log that could not be opened is tried again only this long after: every attempt costs the
// library's own retries (five opens, 10 ms apart), and trace lines come by the hundred.
constexpr auto retryDelay = std::chrono::seconds(30);
std::atomic<Clock::rep> nextAttempt { 0 };

} // namespace

AppLogger& AppLogger::instance()
{
    // A constructor that throws leaves the static uninitialised, so the set-up is retried.
    static AppLogger logger;
    return logger;
}

AppLogger::AppLogger()
{
    if (Clock::now().time_since_epoch().count() < nextAttempt.load())
        throw std::runtime_error("The log could not be opened; not yet tried again");
    try {
        // The log holds the session values: private to the user, and not inherited by the
        // programs this one starts (the route tracer, the browser).
        spdlog::file_event_handlers privateFile;
        privateFile.before_open = [](const spdlog::filename_t& path) {
            velmora::prepareLogFile(path);
        };
        privateFile.after_open = [](const spdlog::filename_t&, std::FILE* file) {
            velmora::keepLogFileToItself(file);
        };
        // The handlers run again for each new app.log after a rotation; the old files keep the
        // mode they had.
        auto logger = spdlog::rotating_logger_mt("logger", velmora::logFilePath(), rotateAtBytes,
                                                 keptFiles, false, privateFile);
        // Someone tailing the log, or reading it after a crash, needs every line on disk at once.
        logger->flush_on(spdlog::level::trace);
        spdlog::set_default_logger(std::move(logger));
    } catch (...) {
        nextAttempt = (Clock::now() + retryDelay).time_since_epoch().count();
        throw;
    }
}

void AppLogger::log(LogLevel level, const std::string& file, const std::string& function, int line,
                    const std::string& message)
{
    const int number = static_cast<int>(level);
    if (number < spdlog::level::trace || number > spdlog::level::critical)
        return;
    spdlog::default_logger_raw()->log(static_cast<spdlog::level::level_enum>(number),
                                      "[{}:{} in {}()] - {}", file, line, function, message);
}
