#include "app/AppLogger.h"

#include "app/LogLocation.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

AppLogger& AppLogger::instance()
{
    // A constructor that throws leaves the static uninitialised, so the set-up is retried.
    static AppLogger logger;
    return logger;
}

AppLogger::AppLogger()
{
    auto logger = spdlog::basic_logger_mt("logger", velmora::logFilePath(), false);
    // Someone tailing the log, or reading it after a crash, needs every line on disk at once.
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
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
