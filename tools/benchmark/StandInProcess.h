#pragma once

#include "Measures.h"
#include "Processes.h"

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace velmora::bench {

// velmora-appliance as a process of its own, its standard output read on a thread: the port it
// listens on and the requests it answered itself with 200, by exchange. The launch must pipe the
// output (Launch::pipeOutput); every line is also appended to copyFile.
class StandInProcess
{
public:
    using Exchange = ApplianceRequest::Exchange;

    // Returns once the stand-in reports its first listener; throws std::runtime_error when it
    // does not within 10 seconds.
    StandInProcess(const Launch& launch, const std::string& copyFile);
    // Stops the stand-in; the reading thread ends at the end of its output.
    ~StandInProcess();
    StandInProcess(const StandInProcess&) = delete;
    StandInProcess& operator=(const StandInProcess&) = delete;

    int port() const { return *m_port; }
    int answered(Exchange exchange);
    // Waits until at least count requests of that kind were answered.
    bool waitForAnswered(Exchange exchange, int count, std::chrono::milliseconds timeout);

private:
    void stop();
    void read();

    Child m_child;
    std::ofstream m_copy;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<int> m_port;
    std::map<Exchange, int> m_answered;
    bool m_ended = false;
    std::thread m_thread; // last: it reads the members above
};

} // namespace velmora::bench
