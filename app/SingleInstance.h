#pragma once

#include <functional>
#include <memory>
#include <string>

namespace velmora {

// A named lock scoped to the user's logon session: the first holder keeps it until it ends, so a
// second copy of the program learns that one is already running.
class SingleInstanceLock
{
public:
    enum class Result {
        Acquired, // this process is the only copy
        AlreadyHeld, // another copy holds the lock
        Unavailable, // the lock could not be made; the start goes on as if alone
    };

    explicit SingleInstanceLock(const std::string& name);
    ~SingleInstanceLock(); // releases the lock if this process holds it

    // Takes the lock, or learns that another process holds it. On AlreadyHeld nothing is kept.
    Result acquire();

    // For the copy that holds the lock: `show` runs each time a later start asks this copy to
    // show its window, until the lock goes. It may run on another thread than the caller's.
    // False when no later start could reach this copy.
    bool listenForLaterStarts(std::function<void()> show);
    // For a start that found the lock held: asks the copy that holds it to show its window.
    // False when no copy answered.
    bool askHolderToShow();

    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

private:
    struct Handle;
    std::string m_name;
    // Where the holder listens for later starts, beside the lock.
    std::string m_channel;
    std::unique_ptr<Handle> m_handle;
};

} // namespace velmora
