// The TLS side of media sockets: the engine's transport on the socket, and
// the client handshake before the first bytes of a stream go out.
#include "security/tls/ssl_context.h"
#include "security/tls/ssl_session_cache.h"
#include "server/media/media_socket.h"

namespace zelkit::detail {

namespace {

// The engine counts each handshake step that found no whole record as 50 ms.
constexpr int HANDSHAKE_STEP_MS = 50;
constexpr unsigned CONNECT_TIMEOUT_MS = 2000;

// What the socket holds now. While the handshake runs, a step first waits a
// while for the peer's next record.
int readFromSocket(char* buffer, int length, int, void* user) {
  auto* socket = static_cast<MediaSocket*>(user);
  const platform::Socket handle = socket->handle();
  if (socket->tls->state != SslState::Established) {
    bool ready = false;
    platform::selectReadable(&handle, 1, &ready, HANDSHAKE_STEP_MS);
  }
  return receiveWithoutWaiting(handle, buffer, length);
}

int writeToSocket(char* buffer, int length, int, void* user) {
  const int sent = platform::sendBytes(static_cast<MediaSocket*>(user)->handle(), buffer, length);
  return sent < 0 ? -1 : sent;
}

// The session cache key of the peer the socket is connected to.
uint64_t peerKeyOf(platform::Socket handle) {
  sockaddr_in6 peer{};
  int length = sizeof peer;
  if (platform::peerAddress(handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
  if (peer.sin6_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
    return sslPeerKey(AF_INET, reinterpret_cast<const uint8_t*>(&v4->sin_addr), 4, ntohs(v4->sin_port));
  }
  return sslPeerKey(AF_INET6, peer.sin6_addr.s6_addr, 16, ntohs(peer.sin6_port));
}

}  // namespace

bool MediaSocket::startSsl() {
  CriticalSectionLock guard(&ioLock);
  if (tls == nullptr) {
    tls = sslCreate(readFromSocket, writeToSocket, this);
    return tls != nullptr;
  }
  return sslReset(tls) == 0;
}

void MediaSocket::attachTunnel(platform::Socket adopted, SslContext* context) {
  CriticalSectionLock guard(&ioLock);
  if (context != nullptr) {
    if (context != tls) freeTls();
    tls = context;
    tls->readCallback = readFromSocket;
    tls->writeCallback = writeToSocket;
    tls->user = this;
  }
  framed = 1;
  socket.store(adopted, std::memory_order_release);
  setState(MediaSocketState::Open);
}

int MediaSocket::sslPending() {
  CriticalSectionLock guard(&ioLock);
  return tls != nullptr ? zelkit::detail::sslPending(tls) : -1;
}

int MediaSocket::tlsWrite(const void* data, int length) {
  // A context never started is a client's: its handshake goes first.
  if (tls->role == SslRole::Server && tls->state == SslState::ServerWaitClientHello)
    sslConnect(tls, peerKeyOf(handle()), CONNECT_TIMEOUT_MS);
  return sslWrite(tls, static_cast<const char*>(data), length, 0);
}

int MediaSocket::tlsRead(void* buffer, int length) { return sslRead(tls, static_cast<char*>(buffer), length, 0); }

void MediaSocket::freeTls() {
  sslFree(tls);
  tls = nullptr;
}

}  // namespace zelkit::detail
