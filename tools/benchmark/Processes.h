#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velmora::bench {

using Clock = std::chrono::steady_clock;

// A home of its own for one measured program: HOME, XDG_CONFIG_HOME, XDG_STATE_HOME and
// XDG_RUNTIME_DIR point into fresh folders, so the instance lock, the log and the settings of
// one run never meet those of another, nor the user's. Removed with their content.
class IsolatedHome
{
public:
    // The runtime folder goes under runtimeParent: a login session's runtime folder is a tmpfs
    // (/run/user/UID), and the instance lock syncs its file, which costs nothing there and a
    // disk flush elsewhere. Empty: inside the home.
    explicit IsolatedHome(const std::string& parentFolder, const std::string& runtimeParent = {});
    ~IsolatedHome();
    IsolatedHome(const IsolatedHome&) = delete;
    IsolatedHome& operator=(const IsolatedHome&) = delete;

    const std::string& path() const { return m_path; }
    const std::string& runtimeFolder() const { return m_runtime; }
    std::string logFile() const { return m_path + "/state/Velmora/logs/app.log"; }
    // This process's environment with the four variables replaced.
    std::vector<std::string> environment() const;

private:
    std::string m_path;
    std::string m_runtime;
};

struct Launch
{
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment; // complete, "NAME=VALUE"
    std::string workingFolder; // empty: this process's
    std::string outputFile; // standard output and error appended here; empty: /dev/null
    bool pipeOutput = false; // standard output to outputPipe() instead (error still to the file)
};

// A started program. The child takes the time itself right before execve, so execTime() is the
// moment of exec, not of fork; launching throws std::runtime_error when the exec fails.
// Destroying a child that still runs kills it.
class Child
{
public:
    explicit Child(const Launch& launch);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }
    Clock::time_point execTime() const { return m_execTime; }
    int outputPipe() const { return m_outputPipe; }

    // CPU time (user and system, all threads, live and ended) so far; nothing once reaped.
    std::optional<std::chrono::nanoseconds> cpuTime() const;

    // Waits up to the timeout for the exit; the wait status, or nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGTERM, and SIGKILL after the grace time; the wait status.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    int m_outputPipe = -1;
    Clock::time_point m_execTime;
};

// Another process that keeps the disk busy: it writes blocks of 1 MiB into a file of its own and
// syncs each one to the disk, going round within maxBytes, until it is destroyed or maxTime has
// passed (it also ends with this process). The file goes into folder, which must be on the disk
// under test (not a tmpfs), and is removed with this object.
class BusyDisk
{
public:
    static constexpr std::size_t blockBytes = 1 << 20;

    BusyDisk(const std::string& folder, std::chrono::seconds maxTime,
             std::size_t maxBytes = 64 * blockBytes);
    ~BusyDisk();
    BusyDisk(const BusyDisk&) = delete;
    BusyDisk& operator=(const BusyDisk&) = delete;

    const std::string& file() const { return m_file; }
    // Blocks written and synced so far.
    long syncedBlocks() const;
    // False once the writer has ended (its time is up).
    bool running();

private:
    std::string m_file;
    pid_t m_pid = -1;
    bool m_reaped = false;
    std::atomic<long>* m_synced = nullptr; // shared with the writer
};

// Sets NAME=VALUE in an environment, replacing every earlier entry of the name: with two
// entries, getenv() would find the first.
void setVariable(std::vector<std::string>& environment, const std::string& name,
                 const std::string& value);

// The text of a small file such as /proc/PID/smaps_rollup; nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// "exited with 3", "killed by signal 9".
std::string describeStatus(int waitStatus);

} // namespace velmora::bench
