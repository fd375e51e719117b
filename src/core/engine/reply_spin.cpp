#include "core/engine/reply_spin.h"

#include <algorithm>

namespace zelkit::detail {

namespace {

struct LastSynchronousRequest {
  const ZelInputStream* response = nullptr;
  Connection* connection = nullptr;
};
thread_local LastSynchronousRequest lastRequest;

}  // namespace

bool ReplySpin::shouldSpin() {
  const uint32_t skips = skips_.load(std::memory_order_relaxed);
  if (skips == 0) return true;
  skips_.store(skips - 1, std::memory_order_relaxed);
  return false;
}

void ReplySpin::record(bool caught) {
  if (caught) {
    misses_.store(0, std::memory_order_relaxed);
    return;
  }
  const uint32_t misses = std::min(misses_.load(std::memory_order_relaxed) + 1, MaxMissShift);
  misses_.store(misses, std::memory_order_relaxed);
  skips_.store(SkipsPerMiss << misses, std::memory_order_relaxed);
}

void noteSynchronousRequest(const ZelInputStream* response, Connection* connection) {
  lastRequest = {response, connection};
}

Connection* takeSynchronousConnection(const ZelInputStream* response) {
  Connection* connection = lastRequest.response == response ? lastRequest.connection : nullptr;
  lastRequest = {};
  return connection;
}

}  // namespace zelkit::detail
