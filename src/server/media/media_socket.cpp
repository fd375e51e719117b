// The media socket record: set-up, raw transfers and close.
#include "server/media/media_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cstring>

#include "common/never_destroyed.h"
#include "core/engine/core.h"
#include "core/wire/conversions.h"
#include "platform/errors.h"

namespace zelkit::detail {

namespace {

std::atomic<platform::Socket> sharedSendSocket{platform::InvalidSocket};

platform::Socket openSharedSendSocket() {
  static NeverDestroyed<std::mutex> creation;
  std::lock_guard<std::mutex> guard(creation.get());
  platform::Socket existing = sharedSendSocket.load(std::memory_order_acquire);
  if (existing != platform::InvalidSocket) return existing;
  const platform::Socket created = platform::openSocket(AF_INET, SOCK_DGRAM, 0);
  sharedSendSocket.store(created, std::memory_order_release);
  return created;
}

}  // namespace

CriticalSection& mediaCloseLock() {
  static NeverDestroyed<CriticalSection> lock;
  return lock.get();
}

platform::Socket mediaSendSocket() { return sharedSendSocket.load(std::memory_order_acquire); }

MediaSocket::MediaSocket() = default;

MediaSocket::~MediaSocket() {
  close();
  freeTls();
  delete receiveBuffer;
}

void MediaSocket::reset(SocketSet* owner) {
  CriticalSectionLock guard(&ioLock);
  if (receiveBuffer == nullptr) receiveBuffer = new MediaPacket();
  receiveBuffer->filled = 0;
  noDelay = 0;
  rtcpAck = 0;
  framed = 0;
  readSetAfterTunnel_ = nullptr;
  setOwnerSet(owner);
}

void MediaSocket::setOwnerSet(SocketSet* owner) {
  CriticalSectionLock guard(&mediaCloseLock());
  ownerSet_ = owner;
}

void MediaSocket::awaitTunnel(SocketSet* connecting, SocketSet* reading) {
  CriticalSectionLock guard(&ioLock);
  readSetAfterTunnel_ = reading;
  CriticalSectionLock sets(&mediaCloseLock());
  ownerSet_ = connecting;
  if (isOpen()) connecting->add(handle());
}

int MediaSocket::sendTunnelRequest() {
  CriticalSectionLock guard(&ioLock);
  if (!tunnelRequest.empty()) {
    const int sent = sendRaw(tunnelRequest.data(), static_cast<int>(tunnelRequest.size()));
    if (sent < 0) return sent;
    tunnelRequest.clear();
  }
  // One step against a close from another thread, which would otherwise
  // leave a stale handle behind in a set or a closed socket not Closed.
  CriticalSectionLock sets(&mediaCloseLock());
  if (!isOpen()) return 0;
  if (readSetAfterTunnel_ == nullptr) {
    setState(MediaSocketState::Open);
    return 0;
  }
  // A send on a receive stream leaves it to be read as the receiver's own
  // request would: Open is a state the receiver never serves, and a handle
  // left in the connect set would wake every wait of the receiver.
  setState(MediaSocketState::Ready);
  if (ownerSet_ != nullptr) ownerSet_->remove(handle());
  readSetAfterTunnel_->add(handle());
  ownerSet_ = readSetAfterTunnel_;
  return 0;
}

platform::Socket MediaSocket::openUdp(uint32_t address, uint16_t port) {
  CriticalSectionLock guard(&ioLock);
  const platform::Socket shared = openSharedSendSocket();
  socket.store(shared, std::memory_order_release);
  destination = {};
  makeSockaddr(reinterpret_cast<sockaddr*>(&destination), AF_INET, reinterpret_cast<const uint8_t*>(&address), 4, port);
  multicast = (reinterpret_cast<const uint8_t*>(&address)[0] & 0xE0) == 0xE0 ? 1 : 0;
  setState(MediaSocketState::Open);
  return shared;
}

bool MediaSocket::setNoDelay() {
  CriticalSectionLock guard(&ioLock);
  if (!isOpen() || framed == 0) return false;
  if (setSocketFlag(handle(), IPPROTO_TCP, TCP_NODELAY, 1) != 0) {
    core().log(nullptr, "rtps", "Error %d on TCP_NODELAY", static_cast<int>(platform::lastError()));
    return false;
  }
  noDelay = 1;
  return true;
}

int MediaSocket::sendRaw(const void* data, int length) {
  CriticalSectionLock guard(&ioLock);
  if (tls != nullptr) return tlsWrite(data, length);
  return platform::sendBytes(handle(), data, length);
}

void MediaSocket::holdBytes(const void* data, int length) {
  CriticalSectionLock guard(&ioLock);
  const auto* bytes = static_cast<const uint8_t*>(data);
  heldBytes_.insert(heldBytes_.end(), bytes, bytes + length);
}

bool MediaSocket::hasHeldBytes() {
  CriticalSectionLock guard(&ioLock);
  return heldTaken_ < heldBytes_.size();
}

int MediaSocket::recvRaw(void* buffer, int length) {
  CriticalSectionLock guard(&ioLock);
  if (heldTaken_ < heldBytes_.size()) {
    const size_t count = std::min(heldBytes_.size() - heldTaken_, static_cast<size_t>(std::max(length, 0)));
    std::memcpy(buffer, heldBytes_.data() + heldTaken_, count);
    heldTaken_ += count;
    if (heldTaken_ == heldBytes_.size()) {
      heldBytes_.clear();
      heldTaken_ = 0;
    }
    return static_cast<int>(count);
  }
  if (tls != nullptr) return tlsRead(buffer, length);
  return receiveWithoutWaiting(handle(), buffer, length);
}

int receiveWithoutWaiting(platform::Socket handle, void* buffer, int length) {
  const int received = platform::receiveAvailable(handle, buffer, length);
  if (received == 0) return -1;  // the peer closed
  if (received < 0) return platform::lastError() == platform::wsa::WouldBlock ? 0 : -1;
  return received;
}

void MediaSocket::close() {
  CriticalSectionLock guard(&mediaCloseLock());
  const platform::Socket current = handle();
  if (current != platform::InvalidSocket && current != mediaSendSocket()) {
    if (ownerSet_ != nullptr) ownerSet_->remove(current);
    // Wakes a thread blocked on the socket; the descriptor number stays
    // taken until that thread has left the call.
    platform::closeSocket(current);
    socket.store(platform::InvalidSocket, std::memory_order_release);
  }
  setState(MediaSocketState::Closed);
}

}  // namespace zelkit::detail
