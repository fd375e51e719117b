// RtpStreamer: construction, copies sharing the media part, destruction.
#include "zelkit/rtp_streamer.h"

#include "security/rsa/random.h"
#include "server/media/rtp_streamer_private.h"

namespace zelkit {

RtpStreamer::RtpStreamer(char const* url, unsigned short num)
    : ZelClient(url, 0, num), private_(new detail::RtpStreamerPrivate()) {}

RtpStreamer::RtpStreamer(ZelClient& client, unsigned short num)
    : ZelClient(client, 0, num), private_(new detail::RtpStreamerPrivate()) {}

RtpStreamer::RtpStreamer(RtpStreamer& other) : ZelClient(other), private_(other.private_) { private_->retain(); }

RtpStreamer& RtpStreamer::operator=(RtpStreamer& other) {
  ZelClient::operator=(other);
  if (private_ != other.private_) {
    other.private_->retain();
    detail::RtpStreamerPrivate* previous = private_;
    private_ = other.private_;
    previous->release();
  }
  return *this;
}

RtpStreamer::~RtpStreamer() {
  // Drops this streamer's pending connect reply and keep-alive timer, and
  // waits for one of them that runs now.
  unregisterCallback(nullptr, this);
  if (getSessionId() != 0) disconnectVideo();
  private_->release();
  private_ = nullptr;
}

detail::Connection* RtpStreamer::controlConnection() const { return connection_; }

void RtpStreamer::sendUnawaited(unsigned long commandWord) { sendRequest(0, commandWord, noPayload(), noResponse()); }

void RtpStreamer::registerReceiverCallback(bool raw, RtpReceiveCallback callback, void* context) {
  detail::StreamReceiver& receiver = *private_->receiver;
  detail::CriticalSectionLock guard(&receiver.lock);
  receiver.raw = raw ? 1 : 0;
  receiver.receiveCallback = callback;
  receiver.receiveContext = context;
  if (callback != nullptr) receiver.start();
}

void RtpStreamer::setVideoTimeout(int milliseconds) {
  private_->receiver->videoTimeout.store(milliseconds, std::memory_order_relaxed);
}

namespace detail {

RtpStreamerPrivate::RtpStreamerPrivate() : receiver(new StreamReceiver()) {
  // Counters start at random values, so that a receiver cannot mistake a
  // new stream for the continuation of an earlier one.
  randomBytes(reinterpret_cast<uint8_t*>(sequence), static_cast<int>(sizeof sequence));
}

void RtpStreamerPrivate::release() {
  if (references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  bool threadRuns;
  {
    CriticalSectionLock guard(&receiver->lock);
    receiver->receiveCallback = nullptr;
    receiver->receiveContext = nullptr;
    threadRuns = receiver->running.load(std::memory_order_acquire);
  }
  closeAllStreams();
  // Nothing can start the thread any more (no callback, no other owner).
  // Once running is false the thread frees the receiver: it is not touched
  // after that store.
  if (threadRuns)
    receiver->running.store(false, std::memory_order_release);
  else
    delete receiver;
  delete this;
}

}  // namespace detail

}  // namespace zelkit
