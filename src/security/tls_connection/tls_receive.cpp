#include <algorithm>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "security/tls/ssl_context.h"
#include "security/tls_connection/tls_io_scope.h"

namespace zelkit::detail {

namespace {

constexpr char MEDIA_TUNNEL_REQUEST[] = "GET /media_tunnel";
constexpr int MEDIA_TUNNEL_REQUEST_LENGTH = sizeof MEDIA_TUNNEL_REQUEST - 1;

}  // namespace

bool Connection::holdsLastSslFlight() const {
  // The last flight of a handshake that a read completed stays in the
  // gather: onSslReceived sends it together with the records queued behind it.
  return !sslHandshakeDone && ssl->state == SslState::Established;
}

void Connection::onSslReceived(uint32_t count) {
  if (state == ConnectionState::Idle) return;
  sslHeld = static_cast<int32_t>(count);
  sslHandedOut = 0;
  continueSslReceive();
}

void Connection::continueSslReceive() {
  const uint32_t generation = socketGeneration;
  int result;
  {
    SslIoScope scope(*this, SslIoPhase::Receiving);
    result = httpBuffer != nullptr ? feedHttpFromTls() : deliverTlsFrames();
  }
  if (!socketStillOpen(generation) || ssl == nullptr || result == TLS_STOP) return;
  if (result < 0) {
    // A plain media-tunnel request on the TLS port becomes an HTTP connection.
    if (fallBackToMediaTunnel(result)) return;
    pushSslOutput("Error sending SSL handshake packet");  // a close_notify answered
    close(LocalEvent::ConnectionClosed, "SSL error %d", static_cast<uint32_t>(result));
    return;
  }
  if (holdsLastSslFlight()) {
    // The records queued behind the handshake join its last flight in one
    // write: sent apart, the second would wait for the peer's delayed ACK.
    onSslHandshakeComplete();
    if (!socketStillOpen(generation) || ssl == nullptr) return;
  }
  pushSslOutput("Error sending SSL handshake packet");
  // Paused, the engine keeps the records it has not yet yielded, and the
  // completion's bytes it has not taken stay where they are.
  if (result == TLS_PAUSED) return;
  sslHeld = 0;
  sslHandedOut = 0;
  startSslReceive();
}

void Connection::onSslHandshakeComplete() {
  sslHandshakeDone = true;
  core().log(this, "ssl ", "Authentication handshake complete");
  // Only a client looks at the certificate; an accepted connection sends
  // whatever waits.
  if (session == nullptr)
    decideOnCertificate();
  else
    sendQueuedSsl();
}

int Connection::readPlaintext(uint8_t* out, int length) {
  if (inboxLength > 0) {
    const int taken = std::min(inboxLength, length);
    std::memcpy(out, inbox, static_cast<std::size_t>(taken));
    inboxLength -= taken;
    std::memmove(inbox, inbox + taken, static_cast<std::size_t>(inboxLength));
    return taken;
  }
  const int result = sslRead(ssl, reinterpret_cast<char*>(out), length, 0);
  // Handshake records the read produced go out in order, before anything
  // a handler may write meanwhile.
  if (!holdsLastSslFlight()) pushSslOutput("Error sending SSL handshake packet");
  return result;
}

int Connection::deliverTlsFrames() {
  const uint32_t generation = socketGeneration;
  for (;;) {
    if (receivePacket == nullptr) {
      if (tlsFrameHeadLength == 0 && pauseReadingIfFull()) return TLS_PAUSED;
      const int read = readPlaintext(tlsFrameHead + tlsFrameHeadLength, TPKT_HEADER_SIZE - tlsFrameHeadLength);
      if (read <= 0) return read;
      tlsFrameHeadLength += read;
      if (tlsFrameHeadLength < TPKT_HEADER_SIZE) continue;
      tlsFrameHeadLength = 0;
      const int frameLength = readBE16(tlsFrameHead + 2);
      if (tlsFrameHead[0] != 3 || frameLength < FRAME_HEADER_SIZE) {
        closeOnBadFrame("Tpkt header mismatch", 0);
        return TLS_STOP;
      }
      receivePacket = newReceivePacket(tlsFrameHead);
      std::memcpy(receivePacket->wire, tlsFrameHead, TPKT_HEADER_SIZE);
      receiveRemaining = frameLength - TPKT_HEADER_SIZE;
    }
    // Asking for the frame's missing bytes only leaves the next frame's
    // start in the engine's record, for the next turn.
    uint8_t* missing = receivePacket->wire + receivePacket->tpktLength() - receiveRemaining;
    const int read = readPlaintext(missing, receiveRemaining);
    if (read <= 0) return read;
    receiveRemaining -= read;
    if (receiveRemaining > 0) continue;
    ZelPacket* packet = receivePacket;
    receivePacket = nullptr;
    if (!completeFrame(packet) || !socketStillOpen(generation) || ssl == nullptr) return TLS_STOP;
  }
}

int Connection::feedHttpFromTls() {
  const uint32_t generation = socketGeneration;
  for (;;) {
    const int room = httpSize() - httpBuffer->payloadLength;
    const int read = sslRead(ssl, httpData() + httpBuffer->payloadLength, room, 0);
    if (!holdsLastSslFlight()) pushSslOutput("Error sending SSL handshake packet");
    if (read <= 0) return read;
    httpBuffer->payloadLength += read;
    lastActivityTick = tickCount();
    const int parsed = parseHttpBuffer();
    if (!socketStillOpen(generation) || ssl == nullptr || parsed < 0) return TLS_STOP;
    if (parsed == 1) {
      // A tunnel: the bytes behind its head are the first of the frames.
      receivePhase = ReceivePhase::Tls;
      return deliverTlsFrames();
    }
  }
}

bool Connection::fallBackToMediaTunnel(int error) {
  if (error != SslError::MediaTunnelRequest && error != SslError::Protocol) return false;
  // Only the server's first bytes, all still in the engine's buffer.
  if (session == nullptr || httpBuffer == nullptr || ssl->role != SslRole::Server ||
      ssl->state != SslState::ServerWaitClientHello)
    return false;
  const int received = ssl->receiveCount;
  if (received <= 0 ||
      std::memcmp(ssl->receiveBuffer, MEDIA_TUNNEL_REQUEST, std::min(received, MEDIA_TUNNEL_REQUEST_LENGTH)) != 0)
    return false;
  growHttpBuffer(received);
  std::memcpy(httpData(), ssl->receiveBuffer, static_cast<std::size_t>(received));
  sslFree(ssl);
  ssl = nullptr;
  tls = false;
  sslHeld = 0;
  sslHandedOut = 0;
  httpBuffer->payloadLength = 0;
  receivePhase = ReceivePhase::Http;
  onHttpReceived(static_cast<uint32_t>(received));
  return true;
}

}  // namespace zelkit::detail
