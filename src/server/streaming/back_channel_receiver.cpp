// The back channel: media and RTCP acknowledgements that clients send to the
// server on their tunnelled video streams.
#include "server/streaming/back_channel_receiver.h"

#include "core/engine/lock.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "security/cipher/crypt.h"
#include "server/server_state.h"

namespace zelkit {

void ZelServer::registerReceiverCallback(bool raw, RtpSessionReceiveCallback callback) {
  detail::BackChannelReceiver* receiver;
  bool created = false;
  {
    detail::GlobalLock lock;
    receiver = detail::serverState().backChannel;
    if (receiver == nullptr) {
      if (callback == nullptr) return;
      receiver = new detail::BackChannelReceiver();
      detail::serverState().backChannel = receiver;
      created = true;
    }
  }
  receiver->setCallback(raw, callback);
  if (created) receiver->start();
}

namespace detail {

namespace {

constexpr int WAIT_MS = 100;
constexpr int RTP_HEADER_SIZE = 12;
constexpr int EXTENDED_HEADER_SIZE = 16;

// An RTCP receiver report with one block, as clients acknowledge packets:
// it is sent in the clear, while the media around it may be encrypted.
bool isReceiverReport(const uint8_t* packet) { return packet[0] == 0x81 && packet[1] == 0xC9; }

}  // namespace

BackChannelReceiver* serverBackChannel() {
  GlobalLock lock;
  return serverState().backChannel;
}

void BackChannelReceiver::setCallback(bool raw, RtpSessionReceiveCallback callback) {
  CriticalSectionLock guard(&callbackLock_);
  raw_ = raw;
  callback_ = callback;
}

void BackChannelReceiver::start() { platform::startThread(threadEntry, this); }

void BackChannelReceiver::add(const RtpStreamerSessionRef& session) {
  if (!session) return;
  MediaSocket* video = session->sockets_[0];
  if (video == nullptr) return;
  GlobalLock lock;
  CriticalSectionLock slots(&slotsLock_);
  for (RtpStreamerSessionRef& slot : slots_) {
    if (slot) continue;
    slot = session;
    sockets_.add(video->handle());
    // Its close takes the handle out of the set.
    video->setOwnerSet(&sockets_);
    return;
  }
}

void BackChannelReceiver::remove(const RtpStreamerSession* session) {
  GlobalLock lock;
  CriticalSectionLock slots(&slotsLock_);
  for (RtpStreamerSessionRef& slot : slots_) {
    if (slot.get() != session) continue;
    // No longer read: left in the set it would wake every wait.
    MediaSocket* video = slot->sockets_[0];
    sockets_.remove(video->handle());
    video->setOwnerSet(nullptr);
    slot.reset();
    return;
  }
}

void BackChannelReceiver::threadEntry(void* receiver) { static_cast<BackChannelReceiver*>(receiver)->run(); }

void BackChannelReceiver::run() {
  platform::Socket handles[SocketSet::CAPACITY];
  bool ready[SocketSet::CAPACITY];
  for (;;) {
    const int count = sockets_.copyTo(handles);
    if (count == 0) {
      platform::sleepMilliseconds(WAIT_MS);
      continue;
    }
    if (platform::selectReadable(handles, count, ready, WAIT_MS) < 0) {
      platform::sleepMilliseconds(WAIT_MS);
      continue;
    }
    // Held while served, so a session taken out meanwhile stays alive.
    RtpStreamerSessionRef serving[SLOTS];
    const int servingCount = takeReadySessions(handles, ready, count, serving);
    for (int i = 0; i < servingCount; ++i) serve(serving[i]);
  }
}

int BackChannelReceiver::takeReadySessions(const platform::Socket* handles, const bool* ready, int count,
                                           RtpStreamerSessionRef (&out)[SLOTS]) {
  GlobalLock lock;
  CriticalSectionLock slots(&slotsLock_);
  int taken = 0;
  for (RtpStreamerSessionRef& slot : slots_) {
    if (!slot) continue;
    MediaSocket* video = slot->sockets_[0];
    const platform::Socket handle = video->handle();
    bool readable = video->hasHeldBytes();
    for (int i = 0; i < count && !readable; ++i) readable = handles[i] == handle && ready[i];
    if (readable) out[taken++] = slot;
  }
  return taken;
}

void BackChannelReceiver::serve(const RtpStreamerSessionRef& session) {
  MediaSocket& video = *session->sockets_[0];
  // One packet per wake, and on while TLS or the tunnel's first bytes hold
  // more that no wait would report.
  do {
    const int length = video.receive();
    if (length < RTP_HEADER_SIZE) {
      if (length < 0) remove(session.get());
      return;
    }
    uint8_t* packet = video.packetData();
    C_Cryptlfc* cipher = session->ciphers_[0].load(std::memory_order_acquire);
    if (cipher != nullptr && !isReceiverReport(packet)) cipher->decryptRtp(packet, static_cast<uint32_t>(length));
    deliver(session, packet, length);
  } while (video.sslPending() > 4 || video.hasHeldBytes());
}

void BackChannelReceiver::deliver(const RtpStreamerSessionRef& session, uint8_t* packet, int length) {
  CriticalSectionLock guard(&callbackLock_);
  if (callback_ == nullptr) return;
  if (raw_) {
    callback_(session, RtpPacketComplete, packet, length);
    return;
  }
  const int type = packet[1] & 0x7F;
  const int headerLength = type == 32 || type == 33 ? EXTENDED_HEADER_SIZE : RTP_HEADER_SIZE;
  if (length <= headerLength) return;
  callback_(session, static_cast<RtpPayloadType>(type), packet + headerLength, length - headerLength);
}

}  // namespace detail

}  // namespace zelkit
