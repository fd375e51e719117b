// The TLS side of media sockets. The TLS engine is not part of the library
// yet: until it is, no context can be created or driven, so no media stream
// runs under TLS. These are the places where the engine's calls go.
#include "server/media/media_socket.h"

namespace zelkit::detail {

bool MediaSocket::startSsl() { return false; }

void MediaSocket::attachTunnel(platform::Socket adopted, SslContext* context) {
  CriticalSectionLock guard(&ioLock);
  tls = context;
  framed = 1;
  socket.store(adopted, std::memory_order_release);
  setState(MediaSocketState::Open);
}

int MediaSocket::sslPending() { return -1; }

int MediaSocket::tlsWrite(const void*, int) { return -1; }

int MediaSocket::tlsRead(void*, int) { return -1; }

void MediaSocket::freeTls() { tls = nullptr; }

}  // namespace zelkit::detail
