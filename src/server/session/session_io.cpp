#include <algorithm>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/socket.h"
#include "zelkit/session.h"

namespace zelkit {

int ZelSession::recv(void* buffer, int length, int flags) {
  const bool peek = (flags & PeekFlag) != 0;
  platform::Socket socket;
  {
    detail::GlobalLock lock;
    if (connection_ == nullptr || length < 0) return -1;
    // Bytes that arrived behind an HTTP request come first; those of the
    // request a handler is reading stay where its stream reads them.
    detail::ZelPacket* held = connection_->httpBuffer;
    if (held != nullptr && held->payloadLength > connection_->httpHandedOut) {
      uint8_t* first = held->wire + connection_->httpHandedOut;
      const int available = held->payloadLength - connection_->httpHandedOut;
      const int copied = std::min(length, available);
      std::memcpy(buffer, first, static_cast<std::size_t>(copied));
      if (!peek) {
        std::memmove(first, first + copied, static_cast<std::size_t>(available - copied));
        held->payloadLength -= copied;
      }
      return copied;
    }
    if (connection_->ssl != nullptr) return connection_->sslReadSync(buffer, length, flags);
    socket = connection_->socketHandle;
  }
  if (socket <= 0) return -1;
  return platform::receiveBytesWaiting(socket, buffer, length, peek);
}

int ZelSession::send(const void* data, int length, int flags) {
  platform::Socket socket;
  {
    detail::GlobalLock lock;
    if (connection_ == nullptr || length < 0) return -1;
    if (length == 0) return 0;  // the raw path would take a length of 0 for a text's
    if (connection_->ssl != nullptr) return connection_->sslWriteSync(data, length, flags);
    if ((flags_ & (BlockRequests | StreamedBody)) != 0)
      return connection_->sendRaw(static_cast<const char*>(data), length, flags);
    socket = connection_->socketHandle;
  }
  if (socket <= 0) return -1;
  return platform::sendBytesWaiting(socket, data, length);
}

}  // namespace zelkit
