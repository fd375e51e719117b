#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "security/tls/ssl_context.h"
#include "security/tls_connection/tls_io_scope.h"

namespace zelkit::detail {

void Connection::sendQueuedSsl() {
  if (socketHandle <= 0 || sendInProgress) return;
  if (state != ConnectionState::TransportUp && state != ConnectionState::Registered) return;
  SslIoScope scope(*this, SslIoPhase::Idle);
  // Records the engine kept while the last send was under way go first.
  if (ssl->sendFlushed < ssl->sendFill) sslWrite(ssl, nullptr, 0, 0);
  // Packets wait for the handshake and, on a client, for the certificate.
  if (sslHandshakeDone && !writeQueuedPacketsSsl()) return;
  flushSslGather("Error sending SSL packet");
}

bool Connection::writeQueuedPacketsSsl() {
  const bool registered = state == ConnectionState::Registered;
  while (!gatherFull()) {
    ZelPacket* packet = sendQueue.first();
    if (packet == nullptr) break;
    // Raw packets (the tunnel request, HTTP answers) carry their bytes as payload.
    const bool raw = packet->tpktWord() == 0;
    // Before registration only the tunnel request and the registration leave.
    if (!registered && !raw && packet->callback != onRegisterReply) break;
    const uint8_t* bytes = raw ? packet->payload() : packet->wire;
    const int total = raw ? packet->payloadLength : packet->tpktLength();
    if (registered && !raw) packet->setHeaderWord(1, packet->headerWord(1) | (static_cast<uint32_t>(clientId) & 0xFFFF));
    while (sslTakenCount < total && !gatherFull()) {
      const int taken = sslWrite(ssl, reinterpret_cast<const char*>(bytes) + sslTakenCount, total - sslTakenCount, 0);
      if (hasLog()) core().log(this, "ssl ", " send %d/%d < %d i%d", sslTakenCount, taken, total,
                                static_cast<int>(sendGather.size()));
      if (taken < 0) {
        close(LocalEvent::ConnectionClosed, "SSL error %d", static_cast<uint32_t>(taken));
        return false;
      }
      if (taken == 0) break;
      sslTakenCount += taken;
    }
    if (sslTakenCount < total) break;  // the rest goes with the next send
    sslTakenCount = 0;
    sendQueue.popFront();
    --queuedCount;
    if (hasLog()) {
      if (raw)
        logText("send", reinterpret_cast<const char*>(bytes), total, 0);
      else
        logPacket("send", packet);
    }
    if (!raw) notePieceTaken(packet);
    // The records hold its bytes now: only a request keeps it, for its reply
    // (one nobody waits for too, which holds its transaction id until then).
    if (packet->callback != nullptr || holdsTransactionId(packet))
      pending.pushFront(packet);
    else
      ZelPacket::free(packet);
    if (!registered && !raw) break;  // one registration packet per send
  }
  return true;
}

void Connection::flushSslGather(const char* failureReason) {
  if (sendInProgress || sendGather.empty() || socketHandle <= 0) return;
  sendBuffers.clear();
  for (const ZelPacket* record : sendGather)
    sendBuffers.push_back({record->wire, static_cast<uint32_t>(record->payloadLength)});
  const uint32_t error = startOverlappedSend(sendBuffers.data(), static_cast<int>(sendBuffers.size()));
  if (error != 0) {
    close(LocalEvent::ConnectionClosed, failureReason, error);
  }
}

}  // namespace zelkit::detail
