#include "Processes.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <new>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace velmora::bench {

namespace {

constexpr const char* homeVariables[] = { "HOME=", "XDG_CONFIG_HOME=", "XDG_STATE_HOME=",
                                          "XDG_RUNTIME_DIR=" };

bool isHomeVariable(const char* entry)
{
    for (const char* name : homeVariables) {
        if (std::strncmp(entry, name, std::strlen(name)) == 0)
            return true;
    }
    return false;
}

// Only async-signal-safe calls between fork and exec: report errno to the parent and leave.
[[noreturn]] void failInChild(int pipe)
{
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(pipe, &error, sizeof error);
    ::_exit(127);
}

ssize_t readFully(int fd, void* buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, static_cast<char*>(buffer) + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

namespace {

std::string makeFolder(const std::string& parent, const char* prefix)
{
    std::string pattern = parent + "/" + prefix + "-XXXXXX";
    // mkdtemp makes it private (0700), as Qt insists for a runtime folder.
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder under " + parent + ": "
                                 + std::strerror(errno));
    return pattern;
}

} // namespace

IsolatedHome::IsolatedHome(const std::string& parentFolder, const std::string& runtimeParent)
{
    m_path = makeFolder(parentFolder, "home");
    try {
        for (const char* sub : { "/config", "/state" }) {
            if (::mkdir((m_path + sub).c_str(), 0700) != 0)
                throw std::runtime_error("cannot make " + m_path + sub);
        }
        m_runtime = runtimeParent.empty() ? makeFolder(m_path, "runtime")
                                          : makeFolder(runtimeParent, "velmora-bench-runtime");
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
        throw;
    }
}

IsolatedHome::~IsolatedHome()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_runtime, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

std::vector<std::string> IsolatedHome::environment() const
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        if (!isHomeVariable(*entry))
            result.emplace_back(*entry);
    }
    result.push_back("HOME=" + m_path);
    result.push_back("XDG_CONFIG_HOME=" + m_path + "/config");
    result.push_back("XDG_STATE_HOME=" + m_path + "/state");
    result.push_back("XDG_RUNTIME_DIR=" + m_runtime);
    return result;
}

Child::Child(const Launch& launch)
{
    // Everything the child needs is prepared here: after fork only async-signal-safe calls.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(launch.program.c_str()));
    for (const std::string& argument : launch.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : launch.environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    const int output = launch.outputFile.empty()
        ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
        : ::open(launch.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (output < 0)
        throw std::runtime_error("cannot open " + launch.outputFile + ": " + std::strerror(errno));
    int stdoutPipe[2] = { -1, -1 };
    if (launch.pipeOutput && ::pipe2(stdoutPipe, O_CLOEXEC) != 0) {
        ::close(output);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    // Closed by a successful exec: the parent reads the exec time and then the end of file, or
    // the time and an errno when the exec failed.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

    m_pid = ::fork();
    if (m_pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (m_pid == 0) {
        ::close(report[0]);
        if (::dup2(launch.pipeOutput ? stdoutPipe[1] : output, STDOUT_FILENO) < 0
            || ::dup2(output, STDERR_FILENO) < 0)
            failInChild(report[1]);
        const int input = ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, STDIN_FILENO) < 0)
            failInChild(report[1]);
        if (!launch.workingFolder.empty() && ::chdir(launch.workingFolder.c_str()) != 0)
            failInChild(report[1]);
        timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        [[maybe_unused]] const ssize_t written = ::write(report[1], &now, sizeof now);
        ::execve(argv[0], argv.data(), envp.data());
        failInChild(report[1]);
    }

    ::close(report[1]);
    ::close(output);
    if (launch.pipeOutput) {
        ::close(stdoutPipe[1]);
        m_outputPipe = stdoutPipe[0];
    }
    timespec started {};
    int error = 0;
    const ssize_t gotTime = readFully(report[0], &started, sizeof started);
    const ssize_t gotError = readFully(report[0], &error, sizeof error);
    ::close(report[0]);
    if (gotTime != static_cast<ssize_t>(sizeof started) || gotError != 0) {
        wait(std::chrono::seconds(5));
        m_pid = -1;
        throw std::runtime_error("cannot start " + launch.program + ": "
                                 + (gotError ? std::strerror(error) : "no report from the child"));
    }
    // steady_clock is CLOCK_MONOTONIC, which every process of the system shares.
    m_execTime = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(started.tv_sec) + std::chrono::nanoseconds(started.tv_nsec)));
}

Child::~Child()
{
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
    }
    if (m_outputPipe >= 0)
        ::close(m_outputPipe);
}

std::optional<std::chrono::nanoseconds> Child::cpuTime() const
{
    if (m_pid <= 0 || m_reaped)
        return std::nullopt;
    // The process clock counts in nanoseconds, where /proc/PID/stat counts in 10 ms ticks.
    clockid_t clock {};
    timespec used {};
    if (::clock_getcpuclockid(m_pid, &clock) != 0 || ::clock_gettime(clock, &used) != 0)
        return std::nullopt;
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0)
        return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (m_reaped)
            return m_status;
        const pid_t done = ::waitpid(m_pid, &m_status, WNOHANG);
        if (done == m_pid || (done < 0 && errno == ECHILD)) {
            m_reaped = true;
            return m_status;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        // Waiting for an exit only, never on a measured path.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Child::stop(std::chrono::milliseconds grace)
{
    if (m_pid <= 0)
        return 0;
    if (!m_reaped)
        ::kill(m_pid, SIGTERM);
    if (const auto status = wait(grace))
        return *status;
    ::kill(m_pid, SIGKILL);
    return wait(std::chrono::seconds(5)).value_or(0);
}

BusyDisk::BusyDisk(const std::string& folder, std::chrono::seconds maxTime, std::size_t maxBytes)
    : m_file(folder + "/busy-disk.bin")
{
    const std::size_t blocks = std::max<std::size_t>(1, maxBytes / blockBytes);
    const std::vector<char> block(blockBytes, 'b');
    void* shared = ::mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        throw std::runtime_error(std::string("mmap: ") + std::strerror(errno));
    m_synced = new (shared) std::atomic<long>(0);
    const int fd = ::open(m_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        ::munmap(m_synced, sizeof *m_synced);
        throw std::runtime_error("cannot make " + m_file + ": " + std::strerror(errno));
    }
    timespec deadline {};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += maxTime.count();
    const pid_t parent = ::getpid();

    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls here: the driver has threads of its own.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(0);
        for (std::size_t round = 0;; ++round) {
            timespec now {};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > deadline.tv_sec
                || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
                ::_exit(0);
            const off_t offset = static_cast<off_t>((round % blocks) * blockBytes);
            if (::pwrite(fd, block.data(), block.size(), offset) != ssize_t(block.size())
                || ::fsync(fd) != 0)
                ::_exit(1);
            m_synced->fetch_add(1);
        }
    }
    ::close(fd);
    if (m_pid < 0) {
        const int error = errno;
        ::unlink(m_file.c_str());
        ::munmap(m_synced, sizeof *m_synced);
        throw std::runtime_error(std::string("fork: ") + std::strerror(error));
    }
}

BusyDisk::~BusyDisk()
{
    if (!m_reaped) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_file.c_str());
    ::munmap(m_synced, sizeof *m_synced);
}

long BusyDisk::syncedBlocks() const
{
    return m_synced->load();
}

bool BusyDisk::running()
{
    if (!m_reaped && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
        m_reaped = true;
    return !m_reaped;
}

void setVariable(std::vector<std::string>& environment, const std::string& name,
                 const std::string& value)
{
    std::erase_if(environment,
                  [&](const std::string& entry) { return entry.starts_with(name + "="); });
    environment.push_back(name + "=" + value);
}

std::optional<std::string> readWholeFile(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string describeStatus(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return "exited with " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus))
        return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
    return "status " + std::to_string(waitStatus);
}

} // namespace velmora::bench
