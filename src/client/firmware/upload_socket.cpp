#include "client/firmware/upload_socket.h"

#include "core/engine/lock.h"
#include "platform/errors.h"
#include "security/tls/ssl_context.h"

namespace zelkit::detail {

namespace {

// The read callback's result for an orderly end of the stream, told apart
// from the engine's own results.
constexpr int PEER_CLOSED = -20000;

bool wouldBlock() { return platform::lastError() == platform::wsa::WouldBlock; }

}  // namespace

UploadSocket::~UploadSocket() { close(); }

void UploadSocket::close() {
  if (socket_ != platform::InvalidSocket) platform::closeSocket(socket_);
  socket_ = platform::InvalidSocket;
  if (tls_ == nullptr) return;
  GlobalLock lock;
  sslFree(tls_);
  tls_ = nullptr;
}

bool UploadSocket::noteAbort() const {
  if (!aborted()) return false;
  platform::setLastError(platform::status::OperationAborted);
  return true;
}

bool UploadSocket::waitSlice(Awaiting awaiting, const platform::Deadline& deadline, bool* ready) {
  if (noteAbort()) return false;
  const int left = deadline.remainingMs();
  if (left == 0) {
    platform::setLastError(platform::wsa::TimedOut);
    return false;
  }
  const int slice = left < 0 || left > UPLOAD_WAIT_SLICE_MS ? UPLOAD_WAIT_SLICE_MS : left;
  bool readable = false;
  bool writable = false;
  switch (awaiting) {
    case Awaiting::Data:
      platform::selectReadable(&socket_, 1, &readable, slice);
      break;
    case Awaiting::Room:
      platform::selectSockets(nullptr, 0, nullptr, &socket_, 1, &writable, slice);
      break;
    case Awaiting::Connect:
      // A failed connect shows as readable only.
      platform::selectSockets(&socket_, 1, &readable, &socket_, 1, &writable, slice);
      break;
  }
  if (ready != nullptr) *ready = readable || writable;
  return true;
}

int UploadSocket::connect(const sockaddr_in6& address, int timeoutMs) {
  if (noteAbort()) return -1;
  socket_ = platform::openSocket(address.sin6_family, SOCK_STREAM, 0);
  if (socket_ == platform::InvalidSocket) return -1;
  if (awaitConnect(address, timeoutMs) == 0) return 0;
  // A connect given up on stops at once: it no longer counts against the
  // limit, so it must not go on trying either.
  const uint32_t error = platform::lastError();
  close();
  platform::setLastError(error);
  return -1;
}

int UploadSocket::awaitConnect(const sockaddr_in6& address, int timeoutMs) {
  platform::setNonBlocking(socket_, true);
  const auto* target = reinterpret_cast<const sockaddr*>(&address);
  if (platform::connectSocket(socket_, target, sizeof address) == 0) return 0;
  if (!wouldBlock()) return -1;
  const platform::Deadline deadline(timeoutMs);
  bool ready = false;
  while (waitSlice(Awaiting::Connect, deadline, &ready)) {
    if (!ready) continue;
    int error = 0;
    int size = sizeof error;
    if (platform::getSocketOption(socket_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
    if (error == 0) return 0;
    platform::setLastError(static_cast<uint32_t>(error));
    return -1;
  }
  return -1;
}

int UploadSocket::startTls(uint64_t peerKey, int timeoutMs) {
  {
    GlobalLock lock;
    tls_ = sslCreate(plainRecv, plainSend, this);
  }
  if (tls_ == nullptr) return SslError::General;
  const platform::Deadline deadline(timeoutMs);
  engineDeadline_ = deadline;
  // The ClientHello; each further step handles one record of the server.
  int result = sslConnect(tls_, peerKey, 0);
  while (result >= 0) {
    result = sslHandshakeStep(tls_);
    if (result == 1) return 0;
    if (result < 0) break;
    if (!waitSlice(Awaiting::Data, deadline, nullptr))
      return platform::lastError() == platform::wsa::TimedOut ? SslError::Timeout : -1;
  }
  return result == PEER_CLOSED ? SslError::General : result;
}

int UploadSocket::sendPlain(const char* data, int length, const platform::Deadline& deadline) {
  int sent = 0;
  while (sent < length) {
    const int written = platform::sendBytes(socket_, data + sent, length - sent);
    if (written > 0) {
      sent += written;
      continue;
    }
    if (written < 0 && !wouldBlock()) return -1;
    // A socket that failed is tried again after the slice and reports it.
    if (!waitSlice(Awaiting::Room, deadline, nullptr)) return -1;
  }
  return length;
}

int UploadSocket::send(const void* data, int length, int timeoutMs) {
  if (noteAbort()) return -1;
  const platform::Deadline deadline(timeoutMs);
  const auto* bytes = static_cast<const char*>(data);
  if (tls_ == nullptr) return sendPlain(bytes, length, deadline);
  engineDeadline_ = deadline;
  int taken = 0;
  while (taken < length) {
    const int result = sslWrite(tls_, bytes + taken, length - taken, 0);
    if (result < 0) return -1;
    if (result == 0 && !waitSlice(Awaiting::Room, deadline, nullptr)) return -1;
    taken += result;
  }
  return length;
}

int UploadSocket::recv(void* buffer, int length, const platform::Deadline& deadline) {
  for (;;) {
    if (tls_ != nullptr) {
      const int result = sslRead(tls_, static_cast<char*>(buffer), length, 0);
      if (result > 0) return result;
      if (result == PEER_CLOSED || result == SslError::AlertBase) return 0;  // close_notify
      if (result < 0) return -1;
    } else {
      const int result = platform::receiveBytes(socket_, buffer, length);
      if (result >= 0) return result;
      if (!wouldBlock()) return -1;
    }
    if (!waitSlice(Awaiting::Data, deadline, nullptr)) return -1;
  }
}

int UploadSocket::plainRecv(char* buffer, int length, int, void* user) {
  auto* self = static_cast<UploadSocket*>(user);
  const int result = platform::receiveBytes(self->socket_, buffer, length);
  if (result > 0) return result;
  if (result == 0) return PEER_CLOSED;
  return wouldBlock() ? 0 : -1;
}

int UploadSocket::plainSend(char* bytes, int length, int, void* user) {
  auto* self = static_cast<UploadSocket*>(user);
  return self->sendPlain(bytes, length, self->engineDeadline_);
}

}  // namespace zelkit::detail
