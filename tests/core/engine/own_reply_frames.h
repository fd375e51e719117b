#pragma once

// Frames and a callback recorder for the tests of a synchronous caller that
// receives its own reply: the device's side is written with the test
// device's own codec.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "support/test_device.h"
#include "support/wire_codec.h"
#include "core/wire/stream_access.h"
#include "zelkit/client.h"
#include "zelkit/streams.h"

namespace ownreply {

constexpr uint32_t kSync = 0x0A370C31;
constexpr uint32_t kAsync = 0x0A380C31;
constexpr uint32_t kMessage = 0x0A390C31;

// Who ran which callback, in the order they ran.
struct CallbackLog {
  std::mutex mutex;
  std::vector<std::string> labels;
  std::vector<uint32_t> threads;

  static void record(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream& stream) {
    auto* log = static_cast<CallbackLog*>(context);
    std::string label;
    while (stream.available() > 0) label.push_back(static_cast<char>(stream.readOctet()));
    std::lock_guard<std::mutex> guard(log->mutex);
    log->labels.push_back(label);
    log->threads.push_back(zelkit::platform::currentThreadId());
  }
  size_t count() {
    std::lock_guard<std::mutex> guard(mutex);
    return labels.size();
  }
  std::vector<std::string> labelsFrom(size_t first) {
    std::lock_guard<std::mutex> guard(mutex);
    return std::vector<std::string>(labels.begin() + static_cast<long>(first), labels.end());
  }
};

inline zeltest::Bytes bytesOf(const std::string& text) { return zeltest::Bytes(text.begin(), text.end()); }

inline zeltest::Bytes replyTo(const zeltest::RecordedFrame& request, const std::string& payload) {
  zeltest::FrameHeader header = request.header;
  header.modeByte = zeltest::kModeReply;
  return zeltest::encodeFrame(header, bytesOf(payload));
}

inline zeltest::Bytes message(uint8_t sequence, const std::string& payload) {
  zeltest::FrameHeader header;
  header.tag = kMessage;
  header.modeByte = zeltest::kModeMessage;
  header.transactionId = sequence;
  return zeltest::encodeFrame(header, bytesOf(payload));
}

// The pieces as one write: "S" is the synchronous reply, "A" the
// asynchronous request's reply, anything else a device message.
inline zeltest::Bytes oneWrite(const std::vector<std::string>& pieces, const zeltest::RecordedFrame& syncRequest,
                               const zeltest::RecordedFrame* asyncRequest, uint8_t& sequence) {
  zeltest::Bytes write;
  for (const std::string& piece : pieces) {
    const zeltest::Bytes frame = piece == "S"   ? replyTo(syncRequest, piece)
                                 : piece == "A" ? replyTo(*asyncRequest, piece)
                                                : message(sequence++, piece);
    write.insert(write.end(), frame.begin(), frame.end());
  }
  return write;
}

// Holds the worker inside a callback of another connection until let go:
// what a caller receives meanwhile waits in the hand-off list.
struct WorkerGate {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool open = false;

  static void hold(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    auto* gate = static_cast<WorkerGate*>(context);
    std::unique_lock<std::mutex> guard(gate->mutex);
    gate->entered = true;
    gate->changed.notify_all();
    gate->changed.wait_for(guard, std::chrono::seconds(10), [gate] { return gate->open; });
  }
  bool waitEntered() {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, std::chrono::seconds(5), [this] { return entered; });
  }
  void letGo() {
    std::lock_guard<std::mutex> guard(mutex);
    open = true;
    changed.notify_all();
  }
};

inline bool loggedIn(zelkit::ZelClient& client) {
  zelkit::ZelInputStream response;
  int errorCode = 0;
  client.sendRequest(5000, kAsync, response);
  return zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
}

}  // namespace ownreply
