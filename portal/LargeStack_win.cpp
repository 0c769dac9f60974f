#include "portal/LargeStack.h"

#include <windows.h>

#include <process.h>

#include <exception>

namespace velmora {

namespace {

struct Job
{
    const std::function<void()>& work;
    std::exception_ptr failure;
};

unsigned __stdcall runJob(void* argument)
{
    auto* job = static_cast<Job*>(argument);
    try {
        job->work();
    } catch (...) {
        job->failure = std::current_exception();
    }
    return 0;
}

} // namespace

void runOnLargeStack(const std::function<void()>& work, std::size_t stackBytes)
{
    Job job { work, nullptr };
    // Reserved, not committed: the thread commits pages as its stack grows.
    const auto thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, static_cast<unsigned>(stackBytes), runJob,
                                                &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
        work();
        return;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    if (job.failure)
        std::rethrow_exception(job.failure);
}

} // namespace velmora
