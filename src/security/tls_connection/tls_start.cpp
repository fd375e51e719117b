#include <algorithm>

#include "core/connection/connection.h"
#include "security/tls/ssl_context.h"
#include "security/tls/ssl_session_cache.h"
#include "security/tls_connection/tls_io_scope.h"

namespace zelkit::detail {

namespace {

// The client session cache's key of the server.
uint64_t peerKeyOf(const Connection& connection) {
  const auto* address = reinterpret_cast<const sockaddr*>(&connection.address);
  if (connection.isIpv4()) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
    return sslPeerKey(AF_INET, reinterpret_cast<const uint8_t*>(&ipv4->sin_addr), 4, connection.port());
  }
  return sslPeerKey(AF_INET6, connection.address.sin6_addr.s6_addr, 16, connection.port());
}

}  // namespace

int Connection::startSsl(bool isServer) {
  tls = true;
  sslTakenCount = 0;
  sslWantLength = 0;
  sslHeld = 0;
  sslHandedOut = 0;
  sslHandshakeDone = false;
  tlsFrameHeadLength = 0;
  if (ssl == nullptr) {
    ssl = sslCreate(sslRecvCallback, sslSendCallback, this);
    if (ssl == nullptr) return -1;
  } else {
    sslReset(ssl);
  }
  receivePhase = ReceivePhase::Tls;
  startSslReceive();
  if (!isServer && socketHandle > 0) {
    // The ClientHello; the rest of the handshake runs in the receives.
    sslConnect(ssl, peerKeyOf(*this), 0);
    pushSslOutput("Error sending SSL handshake packet");
  }
  return 0;
}

void Connection::startSslReceive() {
  // Straight into the engine's record buffer, exactly what it asked for: a
  // receive never holds bytes of two records, and none is copied.
  const int need = sslWantLength > 0 ? sslWantLength : TLS_FIRST_NEED;
  sslReceiveOffset = ssl->receiveCount;
  startReceive(ssl->receiveBuffer + sslReceiveOffset,
               static_cast<uint32_t>(std::min(need, ssl->receiveCapacity - sslReceiveOffset)));
}

void Connection::releaseSsl() {
  sslFree(ssl);
  ssl = nullptr;
}

}  // namespace zelkit::detail
