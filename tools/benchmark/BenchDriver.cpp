// The benchmark: measures velmora-auth and its floors side by side in one run and prints one
// table of medians with their budgets. Run it with scripts/benchmark.sh, which builds it, starts
// a virtual display and keeps everything in a network namespace that has nothing but loopback.
#include "BenchOptions.h"
#include "MapWatcher.h"
#include "Measures.h"
#include "Processes.h"
#include "StandInProcess.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora::bench;
using namespace std::chrono_literals;

namespace {

constexpr auto memoryDelay = 2s;
constexpr int windowWidth = 400;
constexpr int windowHeight = 600;
constexpr std::chrono::seconds keepAliveInterval { 4 };
constexpr char benchUser[] = "bench";
constexpr char benchPassword[] = "secret";
// Nothing listens there in a namespace that has only loopback: every port refuses at once.
const std::vector<std::string> refusingGateways { "127.0.0.6", "127.0.0.7" };

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

std::string loadAverage()
{
    const auto text = readWholeFile("/proc/loadavg");
    if (!text)
        return "?";
    // "0.12 0.30 0.41 1/234 5678": the three averages.
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field)
        end = text->find(' ', end + 1);
    return text->substr(0, end);
}

std::string today()
{
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", std::localtime(&now));
    return text;
}

std::string tail(const std::string& file, size_t lines = 15)
{
    std::ifstream in(file);
    std::vector<std::string> kept;
    for (std::string line; std::getline(in, line);) {
        kept.push_back(line);
        if (kept.size() > lines)
            kept.erase(kept.begin());
    }
    std::string text;
    for (const std::string& line : kept)
        text += "    " + line + "\n";
    return text;
}

// "name value" lines, as the harness and the floor requests report.
std::map<std::string, double> readResults(const std::string& file)
{
    std::map<std::string, double> results;
    std::ifstream in(file);
    std::string name;
    double value = 0;
    while (in >> name >> value)
        results[name] = value;
    return results;
}

using Exchange = ApplianceRequest::Exchange;

class Benchmark
{
public:
    explicit Benchmark(Options options)
        : m_options(std::move(options))
    {
        std::filesystem::create_directories(m_options.workFolder);
        m_logFile = m_options.workFolder + "/programs.log";
        // Where a login session keeps its runtime folder: a tmpfs, as /run/user/UID is.
        if (::access("/dev/shm", W_OK) == 0)
            m_runtimeParent = "/dev/shm";
        writeFakeTracer();
    }

    void measureStartAndMemory();
    void measureLogin();
    void measureBusyDiskLogin();
    void measureDiscovery();
    void measureIdle();
    void measureSilentAppliance();
    std::vector<Row> rows() const;
    const std::string& silentThreads() const { return m_silentThreads; }
    const Options& options() const { return m_options; }
    int keepAlivesPerWindow() const { return m_keepAlivesPerWindow; }
    long busyDiskMiB() const { return m_busyDiskMiB; }

private:
    struct StartSample
    {
        double startMs = 0;
        MemoryUse memory;
    };

    std::vector<std::string> environmentFor(const IsolatedHome& home) const;
    StartSample startOnce(const std::string& program, bool measureMemory);
    std::map<std::string, double> runHarness(const std::vector<std::string>& arguments,
                                             const IsolatedHome& home);
    std::map<std::string, double> runGets(const std::vector<std::string>& arguments,
                                          const IsolatedHome& home);
    std::map<std::string, double> runBareDiscovery(const IsolatedHome& home);
    // Runs a measuring program to its end within `limit` and reads what it wrote to resultFile;
    // a failure carries the end of its output.
    std::map<std::string, double> runToResults(const Launch& launch, std::chrono::seconds limit,
                                               const std::string& resultFile);
    std::unique_ptr<StandInProcess> startStandIn(const IsolatedHome& home);
    void loginRuns(std::vector<double>& program, std::vector<double>& floor, const char* label);
    void writeFakeTracer();

    Options m_options;
    std::string m_logFile;
    std::string m_fakeTools;
    std::string m_runtimeParent;
    MapWatcher m_display;
    std::vector<double> m_startProgram, m_startFloor;
    std::vector<double> m_rssProgram, m_rssFloor, m_pssProgram, m_pssFloor;
    std::vector<double> m_loginProgram, m_loginFloor;
    std::vector<double> m_busyLoginProgram, m_busyLoginFloor;
    long m_busyDiskMiB = 0;
    std::vector<double> m_discoveryProgram, m_discoveryFloor, m_discoveryBare;
    std::vector<double> m_idleShare;
    int m_keepAlivesPerWindow = 0;
    std::vector<double> m_silentShare;
    std::string m_silentThreads;
};

void Benchmark::writeFakeTracer()
{
    // Nothing the benchmark starts may trace the real route: a tracer that finds no hop comes
    // first on PATH.
    m_fakeTools = m_options.workFolder + "/fake-tools";
    std::filesystem::create_directories(m_fakeTools);
    const std::string path = m_fakeTools + "/traceroute";
    std::ofstream(path) << "#!/bin/sh\necho \"traceroute to 8.8.8.8, 2 hops max, 60 byte "
                           "packets\"\n";
    ::chmod(path.c_str(), 0755);
}

std::vector<std::string> Benchmark::environmentFor(const IsolatedHome& home) const
{
    std::vector<std::string> environment = home.environment();
    setVariable(environment, "QT_QPA_PLATFORM", "xcb");
    const char* path = std::getenv("PATH");
    setVariable(environment, "PATH", m_fakeTools + ":" + (path ? path : "/usr/bin:/bin"));
    return environment;
}

Benchmark::StartSample Benchmark::startOnce(const std::string& program, bool measureMemory)
{
    IsolatedHome home(m_options.workFolder, m_runtimeParent);
    Launch launch { program, {}, environmentFor(home), m_options.programFolder, m_logFile };
    m_display.discardPending();
    Child child(launch);
    const auto mapped = m_display.waitForMap(child.pid(), 30s);
    if (!mapped) {
        const auto status = child.wait(0ms);
        throw std::runtime_error(program + ": no window was mapped"
                                 + (status ? " (" + describeStatus(*status) + ")" : "") + "\n"
                                 + tail(m_logFile));
    }
    if (mapped->width != windowWidth || mapped->height != windowHeight)
        throw std::runtime_error(program + ": the window mapped is " + std::to_string(mapped->width)
                                 + " x " + std::to_string(mapped->height) + ", not 400 x 600");
    StartSample sample;
    sample.startMs = milliseconds(mapped->at - child.execTime());
    if (measureMemory) {
        std::this_thread::sleep_until(mapped->at + memoryDelay);
        const std::string file = "/proc/" + std::to_string(child.pid()) + "/smaps_rollup";
        const auto text = readWholeFile(file);
        const auto memory = text ? parseSmapsRollup(*text) : std::nullopt;
        if (!memory)
            throw std::runtime_error("cannot read Rss and Pss from " + file);
        sample.memory = *memory;
        if (!m_options.smapsFolder.empty()) {
            std::filesystem::create_directories(m_options.smapsFolder);
            const std::string copy = m_options.smapsFolder + "/"
                + std::filesystem::path(program).filename().string() + "-"
                + std::to_string(child.pid()) + ".smaps";
            std::ofstream(copy)
                << readWholeFile("/proc/" + std::to_string(child.pid()) + "/smaps").value_or("");
        }
    }
    // velmora-auth ends its event loop on SIGTERM; anything else is a fault worth stopping for.
    const int status = child.stop();
    if (program == m_options.program && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        throw std::runtime_error(program + " did not end cleanly on SIGTERM: "
                                 + describeStatus(status) + "\n" + tail(m_logFile));
    return sample;
}

void Benchmark::measureStartAndMemory()
{
    // An untimed start of each first: the disk cache and the font cache are then warm for
    // every measured start alike.
    startOnce(m_options.program, false);
    startOnce(m_options.floor, false);
    for (int run = 1; run <= m_options.startRuns; ++run) {
        // Side by side, so that a change in the machine's load touches both alike.
        const StartSample program = startOnce(m_options.program, true);
        const StartSample floor = startOnce(m_options.floor, true);
        m_startProgram.push_back(program.startMs);
        m_startFloor.push_back(floor.startMs);
        m_rssProgram.push_back(program.memory.rssKiB / 1024.0);
        m_rssFloor.push_back(floor.memory.rssKiB / 1024.0);
        m_pssProgram.push_back(program.memory.pssKiB / 1024.0);
        m_pssFloor.push_back(floor.memory.pssKiB / 1024.0);
        std::cerr << "start " << run << "/" << m_options.startRuns << ": " << program.startMs
                  << " ms (floor " << floor.startMs << " ms), PSS " << program.memory.pssKiB
                  << " KiB (floor " << floor.memory.pssKiB << " KiB)" << std::endl;
    }
}

std::map<std::string, double> Benchmark::runToResults(const Launch& launch,
                                                      std::chrono::seconds limit,
                                                      const std::string& resultFile)
{
    Child child(launch);
    const auto status = child.wait(limit);
    if (!status || *status != 0) {
        std::string name = std::filesystem::path(launch.program).filename().string();
        if (!launch.arguments.empty())
            name += " " + launch.arguments.front();
        throw std::runtime_error(name + " failed ("
                                 + (status ? describeStatus(*status) : "still running") + "):\n"
                                 + tail(launch.outputFile));
    }
    return readResults(resultFile);
}

std::map<std::string, double> Benchmark::runHarness(const std::vector<std::string>& arguments,
                                                    const IsolatedHome& home)
{
    const std::string resultFile = home.path() + "/result";
    std::vector<std::string> withResult = arguments;
    if (arguments.front() != "prepare-session")
        withResult.push_back(resultFile);
    return runToResults({ m_options.harness, withResult, environmentFor(home),
                          m_options.programFolder, m_logFile },
                        180s, resultFile);
}

std::map<std::string, double> Benchmark::runGets(const std::vector<std::string>& arguments,
                                                 const IsolatedHome& home)
{
    const std::string resultFile = home.path() + "/gets";
    return runToResults({ m_options.gets, arguments, environmentFor(home), "", resultFile }, 60s,
                        resultFile);
}

std::map<std::string, double> Benchmark::runBareDiscovery(const IsolatedHome& home)
{
    const std::string resultFile = home.path() + "/bare";
    std::vector<std::string> arguments { resultFile };
    arguments.insert(arguments.end(), refusingGateways.begin(), refusingGateways.end());
    return runToResults({ m_options.discoveryFloor, arguments, environmentFor(home),
                          m_options.programFolder, home.path() + "/bare.log" },
                        60s, resultFile);
}

std::unique_ptr<StandInProcess> Benchmark::startStandIn(const IsolatedHome& home)
{
    // Sessions outlive the benchmark: the stand-in ends none of its own accord.
    Launch launch { m_options.appliance,
                    { "--listen", "127.0.0.1:0:https", "--user",
                      std::string(benchUser) + ":" + benchPassword, "--session-lifetime", "3600" },
                    environmentFor(home),
                    "",
                    m_logFile,
                    true };
    return std::make_unique<StandInProcess>(launch, m_options.workFolder + "/appliance.log");
}

// Each of the program and its floor must have made exactly one probe and one login.
void expectOneProbeAndLogin(StandInProcess& standIn, int probes, int logins, const char* who)
{
    const bool arrived = standIn.waitForAnswered(Exchange::probe, probes + 1, 5s)
        && standIn.waitForAnswered(Exchange::login, logins + 1, 5s);
    if (!arrived || standIn.answered(Exchange::probe) != probes + 1
        || standIn.answered(Exchange::login) != logins + 1)
        throw std::runtime_error(
            std::string(who) + " made " + std::to_string(standIn.answered(Exchange::probe) - probes)
            + " probes and " + std::to_string(standIn.answered(Exchange::login) - logins)
            + " logins the stand-in answered, not one of each");
}

void Benchmark::loginRuns(std::vector<double>& programTimes, std::vector<double>& floorTimes,
                          const char* label)
{
    IsolatedHome standInHome(m_options.workFolder, m_runtimeParent);
    const auto standIn = startStandIn(standInHome);
    const std::string port = std::to_string(standIn->port());
    for (int run = 1; run <= m_options.runs; ++run) {
        // A fresh process and home for each login, as at the first login after a start.
        IsolatedHome home(m_options.workFolder, m_runtimeParent);
        int probes = standIn->answered(Exchange::probe);
        int logins = standIn->answered(Exchange::login);
        auto program = runHarness({ "login", "127.0.0.1", port, benchUser, benchPassword }, home);
        expectOneProbeAndLogin(*standIn, probes, logins, "the program");

        probes = standIn->answered(Exchange::probe);
        logins = standIn->answered(Exchange::login);
        auto floor = runGets({ "login", "127.0.0.1", port, benchUser, benchPassword }, home);
        expectOneProbeAndLogin(*standIn, probes, logins, "the floor");

        if (!program.contains("login-program-ms") || !floor.contains("login-floor-ms"))
            throw std::runtime_error("the login measures gave no times");
        programTimes.push_back(program["login-program-ms"]);
        floorTimes.push_back(floor["login-floor-ms"]);
        std::cerr << label << " " << run << "/" << m_options.runs << ": "
                  << program["login-program-ms"] << " ms (floor " << floor["login-floor-ms"]
                  << " ms)" << std::endl;
    }
}

void Benchmark::measureLogin()
{
    loginRuns(m_loginProgram, m_loginFloor, "login");
}

void Benchmark::measureBusyDiskLogin()
{
    // The homes, and with them the settings store, are on the same disk as the writer's file.
    // Ten minutes and 64 MiB at most, whatever happens to this run.
    BusyDisk writer(m_options.workFolder, std::chrono::minutes(10));
    // The first syncs under way: the disk is busy before the first login starts.
    const auto deadline = Clock::now() + 10s;
    while (writer.syncedBlocks() < 3 && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    const long before = writer.syncedBlocks();
    if (before < 3)
        throw std::runtime_error("the disk writer synced " + std::to_string(before)
                                 + " blocks in 10 s");
    loginRuns(m_busyLoginProgram, m_busyLoginFloor, "login, disk busy");
    if (!writer.running())
        throw std::runtime_error("the disk writer ended before the logins did");
    m_busyDiskMiB = writer.syncedBlocks() - before;
}

void Benchmark::measureDiscovery()
{
    for (int run = 1; run <= m_options.runs; ++run) {
        IsolatedHome home(m_options.workFolder, m_runtimeParent);
        std::vector<std::string> arguments { "discovery" };
        arguments.insert(arguments.end(), refusingGateways.begin(), refusingGateways.end());
        auto program = runHarness(arguments, home);
        auto gets = runGets(arguments, home);
        auto bare = runBareDiscovery(home);
        if (!program.contains("discovery-program-ms") || !gets.contains("discovery-floor-ms")
            || !bare.contains("discovery-bare-ms"))
            throw std::runtime_error("the discovery measures gave no times");
        m_discoveryProgram.push_back(program["discovery-program-ms"]);
        m_discoveryFloor.push_back(gets["discovery-floor-ms"]);
        m_discoveryBare.push_back(bare["discovery-bare-ms"]);
        std::cerr << "discovery " << run << "/" << m_options.runs << ": "
                  << program["discovery-program-ms"] << " ms (bare program "
                  << bare["discovery-bare-ms"] << " ms, six GETs " << gets["discovery-floor-ms"]
                  << " ms)" << std::endl;
    }
}

void Benchmark::measureIdle()
{
    IsolatedHome home(m_options.workFolder, m_runtimeParent);
    const auto standIn = startStandIn(home);

    // A login through the window leaves the session in this home's settings store; the real
    // program started with the same home revives it at start, as after a restart.
    runHarness({ "prepare-session", "127.0.0.1", std::to_string(standIn->port()), benchUser,
                 benchPassword },
               home);

    Launch programLaunch {
        m_options.program, {}, environmentFor(home), m_options.programFolder, m_logFile
    };
    m_display.discardPending();
    Child program(programLaunch);
    if (!m_display.waitForMap(program.pid(), 30s))
        throw std::runtime_error("velmora-auth: no window was mapped\n" + tail(m_logFile));
    // The start-up check's keep-alive and the first tick: the program is connected and its
    // start is over.
    const int before = standIn->answered(Exchange::keepAlive);
    if (!standIn->waitForAnswered(Exchange::keepAlive, before + 2, 30s))
        throw std::runtime_error("velmora-auth did not keep its session alive; its log:\n"
                                 + tail(home.logFile()));

    const std::chrono::seconds window(m_options.idleSeconds);
    const int expected = static_cast<int>(window / keepAliveInterval);
    for (int run = 1; run <= m_options.runs; ++run) {
        const int keepAlivesBefore = standIn->answered(Exchange::keepAlive);
        const auto cpuBefore = program.cpuTime();
        const auto wallBefore = Clock::now();
        std::this_thread::sleep_for(window);
        const auto cpuAfter = program.cpuTime();
        const auto wall = Clock::now() - wallBefore;
        const int keepAlives = standIn->answered(Exchange::keepAlive) - keepAlivesBefore;
        if (!cpuBefore || !cpuAfter)
            throw std::runtime_error("velmora-auth ended while idle\n" + tail(m_logFile));
        // A window without its keep-alives would measure a program that is not connected.
        if (keepAlives < std::max(1, expected - 1))
            throw std::runtime_error("only " + std::to_string(keepAlives) + " keep-alives in "
                                     + std::to_string(m_options.idleSeconds) + " s");
        const double share = 100.0 * std::chrono::duration<double>(*cpuAfter - *cpuBefore).count()
            / std::chrono::duration<double>(wall).count();
        m_idleShare.push_back(share);
        m_keepAlivesPerWindow = keepAlives;
        std::cerr << "idle " << run << "/" << m_options.runs << ": " << share << " % of a core, "
                  << keepAlives << " keep-alives" << std::endl;
    }
    program.stop();
}

namespace {

// A loopback port whose listener takes no connection: its one-place queue is filled, so the
// system drops every further connection's first packet and a connection attempt never completes,
// as with an appliance that is not on the network.
class SilentPort
{
public:
    explicit SilentPort(int port)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(m_listener, 0) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
        m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(m_filler, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot fill the queue of 127.0.0.1:" + std::to_string(port));
    }
    ~SilentPort()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

private:
    int m_listener = -1;
    int m_filler = -1;
};

// Context switches of each thread of a process, by thread id, with the thread's name: each one a
// wake-up of the thread (or its preemption, which an idle thread does not see).
struct ThreadSwitches
{
    std::string name;
    long long switches = 0;
};

std::map<std::string, ThreadSwitches> threadSwitches(pid_t pid)
{
    std::map<std::string, ThreadSwitches> threads;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        ThreadSwitches thread;
        const auto name = readWholeFile(task.path().string() + "/comm");
        thread.name = name ? name->substr(0, name->find('\n')) : "?";
        std::ifstream status(task.path().string() + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("voluntary_ctxt_switches:")
                || line.starts_with("nonvoluntary_ctxt_switches:"))
                thread.switches += std::stoll(line.substr(line.find(':') + 1));
        }
        threads[task.path().filename().string()] = thread;
    }
    return threads;
}

} // namespace

void Benchmark::measureSilentAppliance()
{
    IsolatedHome home(m_options.workFolder, m_runtimeParent);
    int port = 0;
    {
        // A session stored by a login, as on the network where the appliance was.
        const auto standIn = startStandIn(home);
        port = standIn->port();
        runHarness(
            { "prepare-session", "127.0.0.1", std::to_string(port), benchUser, benchPassword },
            home);
    }
    // Taken home: the stored appliance's address is there, but nothing answers at it.
    const SilentPort silent(port);

    Launch programLaunch {
        m_options.program, {}, environmentFor(home), m_options.programFolder, m_logFile
    };
    // The kernel gives up on a connection whose handshake never completes after about two
    // minutes (its six SYN retries), and the check with it: each window is a fresh start.
    const std::chrono::seconds window(m_options.idleSeconds);
    for (int run = 1; run <= m_options.runs; ++run) {
        // What this start writes to the log comes after what is there now.
        const std::size_t logBefore = readWholeFile(home.logFile()).value_or("").size();
        const auto logOfThisStart = [&] {
            const auto log = readWholeFile(home.logFile());
            return log && log->size() > logBefore ? log->substr(logBefore) : std::string();
        };
        m_display.discardPending();
        Child program(programLaunch);
        if (!m_display.waitForMap(program.pid(), 30s))
            throw std::runtime_error("velmora-auth: no window was mapped\n" + tail(m_logFile));
        // The start-up check is under way: its keep-alive waits for the connection.
        const auto checkStarted = Clock::now() + 30s;
        while (logOfThisStart().find("hit keepalive API with https") == std::string::npos) {
            if (Clock::now() > checkStarted)
                throw std::runtime_error("velmora-auth started no session check; its log:\n"
                                         + tail(home.logFile()));
            std::this_thread::sleep_for(100ms);
        }
        // Past the start and the first timers of the connection attempt.
        std::this_thread::sleep_for(2s);

        const auto threadsBefore = threadSwitches(program.pid());
        const auto cpuBefore = program.cpuTime();
        const auto wallBefore = Clock::now();
        std::this_thread::sleep_for(window);
        const auto cpuAfter = program.cpuTime();
        const auto wall = Clock::now() - wallBefore;
        const auto threadsAfter = threadSwitches(program.pid());
        if (!cpuBefore || !cpuAfter)
            throw std::runtime_error("velmora-auth ended while its appliance was silent\n"
                                     + tail(m_logFile));
        // The check was waiting all along, not ended and left behind.
        if (logOfThisStart().find("Kindly check your network") != std::string::npos)
            throw std::runtime_error("the session check ended during the measure; the log:\n"
                                     + tail(home.logFile()));
        program.stop();

        const double share = 100.0 * std::chrono::duration<double>(*cpuAfter - *cpuBefore).count()
            / std::chrono::duration<double>(wall).count();
        m_silentShare.push_back(share);
        std::string threads;
        for (const auto& [id, after] : threadsAfter) {
            const auto before = threadsBefore.find(id);
            const long long switches =
                after.switches - (before == threadsBefore.end() ? 0 : before->second.switches);
            threads += (threads.empty() ? "" : ", ") + after.name + " " + std::to_string(switches);
        }
        m_silentThreads = threads;
        std::cerr << "silent appliance " << run << "/" << m_options.runs << ": " << share
                  << " % of a core; wake-ups by thread in " << m_options.idleSeconds
                  << " s: " << threads << std::endl;
    }
}

std::vector<Row> Benchmark::rows() const
{
    using Kind = Budget::Kind;
    return {
        { "Start: exec to window mapped (ms)",
          1,
          summarise(m_startProgram),
          summarise(m_startFloor),
          "",
          { Kind::ratioAtMost, 1.3 } },
        { "Memory: RSS 2 s after map (MiB)",
          1,
          summarise(m_rssProgram),
          summarise(m_rssFloor),
          "",
          {} },
        { "Memory: PSS 2 s after map (MiB)",
          1,
          summarise(m_pssProgram),
          summarise(m_pssFloor),
          "",
          { Kind::ratioAtMost, 1.2 } },
        { "Login: press to connected page (ms)",
          1,
          summarise(m_loginProgram),
          summarise(m_loginFloor),
          "two fresh HTTPS GETs",
          { Kind::ratioAtMost, 2.0 } },
        { "Login, disk busy: press to connected page (ms)",
          1,
          summarise(m_busyLoginProgram),
          summarise(m_busyLoginFloor),
          "two fresh HTTPS GETs, disk busy",
          { Kind::ratioAtMost, 3.0 } },
        { "Idle: CPU while connected (% of one core)",
          3,
          summarise(m_idleShare),
          std::nullopt,
          "",
          { Kind::valueBelow, 0.1 } },
        { "Silent appliance: CPU while its check waits (% of one core)",
          3,
          summarise(m_silentShare),
          std::nullopt,
          "",
          { Kind::valueBelow, 0.01 } },
        { "Discovery: 2 refusing gateways × 3 ports (ms)",
          1,
          summarise(m_discoveryProgram),
          summarise(m_discoveryBare),
          "a bare program: tracer, six fresh GETs, one sync, the box",
          { Kind::ratioAtMost, 1.5 } },
        { "Discovery against the requests alone (ms)",
          1,
          summarise(m_discoveryProgram),
          summarise(m_discoveryFloor),
          "six fresh GETs",
          {} },
    };
}

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << usage;
        return 0;
    }
    try {
        options = parseOptions(argc, argv);
    } catch (const std::invalid_argument& error) {
        std::cerr << "velmora-bench: " << error.what() << "\n" << usage;
        return 2;
    }

    try {
        const std::string loadBefore = loadAverage();
        Benchmark benchmark(options);
        if (options.wants("start"))
            benchmark.measureStartAndMemory();
        if (options.wants("login"))
            benchmark.measureLogin();
        if (options.wants("busy-login"))
            benchmark.measureBusyDiskLogin();
        if (options.wants("discovery"))
            benchmark.measureDiscovery();
        if (options.wants("idle"))
            benchmark.measureIdle();
        if (options.wants("silent"))
            benchmark.measureSilentAppliance();
        const std::string loadAfter = loadAverage();

        const bool check = !options.quick;
        const std::vector<Row> rows = benchmark.rows();
        std::string report = std::string("VelmoraAuth benchmark, ") + today() + ": "
            + std::to_string(options.startRuns) + " runs of start and memory, "
            + std::to_string(options.runs) + " of the others"
            + (options.quick ? " (quick mode: budgets not checked)" : "") + "\n\n"
            + renderTable(rows, check) + "\nIdle windows of " + std::to_string(options.idleSeconds)
            + " s, keep-alives answered in the last: "
            + std::to_string(benchmark.keepAlivesPerWindow())
            + ". Wake-ups by thread in the last silent-appliance window: "
            + (benchmark.silentThreads().empty() ? "-" : benchmark.silentThreads())
            + ". The disk writer synced " + std::to_string(benchmark.busyDiskMiB())
            + " MiB during the busy-disk logins. Load average (1, 5, 15 min) before: " + loadBefore
            + "; after: " + loadAfter + "; " + std::to_string(std::thread::hardware_concurrency())
            + " cores.\n";
        bool allPass = true;
        for (const Row& row : rows)
            allPass = allPass && verdict(row, check) != Verdict::fail;
        if (check)
            report += allPass ? "Every budget is met.\n" : "A budget is missed.\n";

        std::cout << report;
        std::ofstream(options.outputFile) << report;
        return allPass ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "velmora-bench: " << error.what() << std::endl;
        return 2;
    }
}
