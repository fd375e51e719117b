#pragma once

#include <mutex>

// Guards the engine's process-wide state (the one-time key loading, the
// session caches, the session counter): engine contexts are driven from
// several threads, not all of them under the library lock.
namespace zelkit::detail {

std::mutex& sslProcessLock();

}  // namespace zelkit::detail
