#pragma once

#include <cstddef>
#include <functional>

namespace velmora {

// Runs `work` on a thread of its own whose stack can grow to `stackBytes`, and returns when it has
// ended, passing on what it threw. Only the pages the work touches are used; the rest is address
// space. When no such thread can be made, the work runs on the calling thread.
void runOnLargeStack(const std::function<void()>& work, std::size_t stackBytes);

} // namespace velmora
