#pragma once

#include <atomic>
#include <cstdint>

namespace zelkit::detail {

// How long an upload waits for the device to take more of the request, or
// for its answer. Tests shorten it.
constexpr int UPLOAD_STALL_TIMEOUT_MS = 30000;
extern std::atomic<int> uploadStallTimeoutMs;

// The posted event of an upload just started: differs from every event, so
// the next housekeeping pass posts the current one.
constexpr uint32_t UPLOAD_EVENT_NOT_POSTED = 999;

}  // namespace zelkit::detail
