#include "core/core.h"
#include "core/lock.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit {

ZelInputStream::~ZelInputStream() {
  if (state_ != 0) detail::core().removePendingStream(this);
  if (packet_ != nullptr) detail::ZelPacket::free(packet_);
}

void ZelInputStream::wait() {
  detail::GlobalLock lock;
  if (state_ == 0) return;
  if (state_ == 1) {
    detail::Event* event = detail::Event::acquire();
    request_->waiterEvent = event->handle();
    const int depth = detail::releaseGlobalCompletely();
    event->wait();
    detail::reacquireGlobal(depth);
    detail::Event::release(event);
  }
  detail::core().removePendingStream(this);
  uint8_t mode = packet_->mode();
  if (mode != detail::LocalError) mode &= 0x0F;
  if (mode == detail::ErrorReply) Exception::doThrow(detail::firstErrorOctet(packet_));
  if (mode == detail::LocalError) Exception::doThrow(detail::firstErrorOctet(packet_) | 0x100);
}

}  // namespace zelkit
