#pragma once

// Helpers of the replay tests: slices as a device sends them, and a
// recorder of replay events.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "support/test_device.h"
#include "support/wire_codec.h"
#include "zelkit/replay_client.h"

namespace replaytest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using zeltest::Bytes;

constexpr uint32_t kSliceList = 0x09010C30;
constexpr uint32_t kEndOfSlice = 0x09030030;
constexpr uint32_t kStop = 0x09030031;
constexpr uint32_t kSliceEnd = 0x09040C31;
constexpr uint32_t kJump = 0x09050C31;
constexpr uint32_t kSpeed = 0x09020431;
constexpr uint32_t kVcdLayer = 0x09C80831;
constexpr uint32_t kProfileFilter = 0x0A5F0831;

constexpr uint32_t kOffsetPlus1800 = 0x01000000;  // two quarter hours

inline zelkit::HddSlice slice(uint32_t start, uint32_t end, uint32_t info = 0, uint32_t flags = 0) {
  return zelkit::HddSlice{start, end, info, flags};
}

inline Bytes encodeSlices(const std::vector<zelkit::HddSlice>& slices) {
  Bytes bytes;
  for (const zelkit::HddSlice& s : slices) {
    zeltest::appendU32(bytes, s.start);
    zeltest::appendU32(bytes, s.end);
    zeltest::appendU32(bytes, s.info);
    zeltest::appendU32(bytes, s.flags);
  }
  return bytes;
}

inline Bytes u32(uint32_t value) {
  Bytes bytes;
  zeltest::appendU32(bytes, value);
  return bytes;
}

// Answers the first slice-list request from frame `from` on. The test
// device keeps it unanswered (Rule::silent) so that the client's event
// callback is in place before the reply comes.
inline bool answerSliceList(zeltest::TestDevice& device, size_t from, const Bytes& payload,
                            uint8_t mode = zeltest::kModeReply) {
  const auto request = device.waitForTag(kSliceList, milliseconds(5000), from);
  return request && device.reply(*request, payload, mode);
}

// One replay event and the value its argument pointed at (the error code,
// the play state).
struct SeenEvent {
  zelkit::ReplayEvent event;
  int64_t value;
  std::thread::id thread;
};

class EventRecorder {
 public:
  static void callback(void* context, zelkit::ReplayEvent event, void* arg) {
    int64_t value = 0;
    if (event == zelkit::ReplayEventError) value = *static_cast<int*>(arg);
    if (event == zelkit::ReplayEventPlayState) value = *static_cast<uint32_t*>(arg);
    auto* self = static_cast<EventRecorder*>(context);
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->events_.push_back({event, value, std::this_thread::get_id()});
    self->changed_.notify_all();
  }

  std::vector<SeenEvent> events() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }
  size_t count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_.size();
  }
  // The first event of the kind from index `from` on.
  std::optional<SeenEvent> waitFor(zelkit::ReplayEvent event, milliseconds timeout, size_t from = 0) const {
    std::unique_lock<std::mutex> guard(mutex_);
    std::optional<SeenEvent> found;
    changed_.wait_for(guard, timeout, [&] {
      for (size_t i = from; i < events_.size(); ++i)
        if (events_[i].event == event) {
          found = events_[i];
          return true;
        }
      return false;
    });
    return found;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<SeenEvent> events_;
};

}  // namespace replaytest
