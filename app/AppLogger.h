#pragma once

#include <cstddef>
#include <string>

// Levels of the diagnostic log, numbered as spdlog numbers its own.
enum class LogLevel : int { trace = 0, debug = 1, info = 2, warn = 3, err = 4, critical = 5 };

// The process-wide diagnostic log. It sets itself up at the first trace line; when the log file
// cannot be created the construction throws and the instance stays unconstructed. The next call
// of instance() tries again, but not before 30 seconds have passed: until then it throws at once.
class AppLogger
{
public:
    // The log is bounded: past this size app.log becomes app.1.log (app.1.log app.2.log, and so
    // on), and the oldest beyond keptFiles goes. A day connected writes some 3 MB.
    static constexpr std::size_t rotateAtBytes = 5 * 1024 * 1024;
    static constexpr std::size_t keptFiles = 3;

    static AppLogger& instance();

    // Writes one trace line; a level outside 0 to 5 writes nothing.
    void log(LogLevel level, const std::string& file, const std::string& function, int line,
             const std::string& message);

    AppLogger(const AppLogger&) = delete;
    AppLogger& operator=(const AppLogger&) = delete;

private:
    AppLogger();
};
