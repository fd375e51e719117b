#include <atomic>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/engine/reply_spin.h"
#include "core/wire/stream_access.h"
#include "platform/sync.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit {

ZelInputStream::~ZelInputStream() {
  if (std::atomic_ref<uint16_t>(state_).load(std::memory_order_acquire) != 0) detail::core().removePendingStream(this);
  if (packet_ != nullptr) detail::ZelPacket::free(packet_);
}

ZelInputStream& ZelInputStream::operator=(const ZelInputStream& other) {
  if (this == &other) return *this;
  // Every stream owns its packet: the target gets a copy of its own.
  detail::ZelPacket* copy = nullptr;
  const unsigned char* readPos = nullptr;
  const unsigned char* end = nullptr;
  if (other.packet_ != nullptr) {
    copy = detail::ZelPacket::clone(other.packet_);
    const unsigned char* from = other.packet_->wire;
    readPos = copy->wire + (other.readPos_ - from);
    end = copy->wire + (other.end_ - from);
  } else if (other.readPos_ != nullptr) {
    const int length = other.available();
    copy = detail::ZelPacket::alloc(length);
    copy->payloadLength = length;
    if (length > 0) std::memcpy(copy->payload(), other.readPos_, static_cast<std::size_t>(length));
    readPos = copy->payload();
    end = readPos + length;
  }
  if (std::atomic_ref<uint16_t>(state_).load(std::memory_order_acquire) != 0) detail::core().removePendingStream(this);
  purge();
  packet_ = copy;
  readPos_ = readPos;
  end_ = end;
  return *this;
}

namespace {

// Each thread waits on an event of its own, taken from the pool once and
// given back when the thread ends.
struct ThreadWaitEvent {
  detail::Event* event = detail::Event::acquire();
  ~ThreadWaitEvent() { detail::Event::release(event); }
};

}  // namespace

void detail::StreamAccess::sleepUntilCompleted(ZelInputStream& stream) {
  detail::lockGlobal();
  if (stream.state_ != 1) {
    detail::unlockGlobal();
    return;
  }
  thread_local ThreadWaitEvent waiter;
  stream.request_->waiterEvent = waiter.event->handle();
  // Back to the caller's own depth only: the worker may still hold the
  // lock when it wakes this thread, and nothing here needs it any more.
  const int depth = detail::releaseGlobalCompletely();
  waiter.event->wait();
  if (depth > 1) detail::reacquireGlobal(depth - 1);
}

void ZelInputStream::wait() {
  int errorCode = 0;
  if (!detail::StreamAccess::awaitReply(*this, &errorCode)) Exception::doThrow(errorCode);
}

bool detail::StreamAccess::awaitReply(ZelInputStream& stream, int* errorCode) {
  // Every read of a stream calls this: one that was never armed, or whose
  // reply was taken, returns without the lock. The worker completes an armed
  // stream from its own thread, and takes it off its list then.
  std::atomic_ref<uint16_t> state(stream.state_);
  if (state.load(std::memory_order_acquire) == 0) return true;
  auto completed = [&] { return state.load(std::memory_order_acquire) == 2; };
  detail::Connection* connection = detail::takeSynchronousConnection(&stream);
  if (connection != nullptr && !completed() && !detail::core().receiveOwnReply(connection, stream)) {
    // A caller that holds the lock would keep the worker from delivering.
    detail::ReplySpin& spin = connection->replySpin;
    if (!completed() && !detail::globalLockHeld() && platform::spinningCanHelp() && spin.shouldSpin())
      spin.record(platform::spinUntil(detail::ReplySpin::Budget, completed));
  }
  if (!completed()) sleepUntilCompleted(stream);
  stream.state_ = 0;
  uint8_t mode = stream.packet_->mode();
  if (mode != detail::LocalError) mode &= 0x0F;
  if (mode == detail::ErrorReply) *errorCode = detail::firstErrorOctet(stream.packet_);
  if (mode == detail::LocalError) *errorCode = detail::firstErrorOctet(stream.packet_) | 0x100;
  return mode != detail::ErrorReply && mode != detail::LocalError;
}

}  // namespace zelkit
