#include <algorithm>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "security/tls/ssl_context.h"
#include "security/tls_connection/tls_io_scope.h"

namespace zelkit::detail {

namespace {

// Before registration only the tunnel request and the registration leave.
bool leavesNow(const ZelPacket* packet, bool registered) {
  return registered || Connection::isRawPacket(packet) || packet->callback == Connection::onRegisterReply;
}

}  // namespace

void Connection::sendQueuedSsl() {
  if (socketHandle <= 0 || sendInProgress) return;
  if (state != ConnectionState::TransportUp && state != ConnectionState::Registered) return;
  {
    SslIoScope scope(*this, SslIoPhase::Idle);
    // Records the engine kept while the last send was under way go first,
    // ahead of the queue's.
    if (ssl->sendFlushed < ssl->sendFill) {
      sslMoreFollows = sslHandshakeDone && sendQueue.first() != nullptr;
      sslWrite(ssl, nullptr, 0, 0);
      sslMoreFollows = false;
    }
    // Packets wait for the handshake and, on a client, for the certificate.
    if (sslHandshakeDone && !writeQueuedPacketsSsl()) return;
  }
  pushSslOutput("Error sending SSL packet");
  // Records the socket took at once end no send: what drained shows here.
  resumeReadingIfDrained();
}

bool Connection::writeQueuedPacketsSsl() {
  const bool registered = state == ConnectionState::Registered;
  for (;;) {
    ZelPacket* packet = sendQueue.first();
    if (packet == nullptr || !leavesNow(packet, registered)) break;
    // Raw packets (the tunnel request, HTTP answers) carry their bytes as payload.
    const bool raw = isRawPacket(packet);
    // Whether this write goes on with the next packet.
    const bool nextFollows = (registered || raw) && packet->pNext != nullptr && leavesNow(packet->pNext, registered);
    const uint8_t* bytes = raw ? packet->payload() : packet->wire;
    const int total = raw ? packet->payloadLength : packet->tpktLength();
    if (registered && !raw) packet->setHeaderWord(1, packet->headerWord(1) | (static_cast<uint32_t>(clientId) & 0xFFFF));
    // One record per call, each handed to the socket as it is sealed, so
    // that the peer opens the first while the rest are sealed. The records
    // are those one call for the whole packet would make.
    while (sslTakenCount < total) {
      const int chunk = std::min(total - sslTakenCount, SSL_MAX_WRITE_CHUNK);
      sslMoreFollows = sslTakenCount + chunk < total || nextFollows;
      const int taken = sslWrite(ssl, reinterpret_cast<const char*>(bytes) + sslTakenCount, chunk, 0);
      sslMoreFollows = false;
      if (hasLog()) core().log(this, "ssl ", " send %d/%d < %d i%d", sslTakenCount, taken, total,
                                static_cast<int>(sendGather.size()));
      if (taken < 0) {
        close(LocalEvent::ConnectionClosed, "SSL error %d", static_cast<uint32_t>(taken));
        return false;
      }
      if (taken == 0) break;  // the engine holds a record the socket did not take
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

void Connection::pushSslOutput(const char* failureReason) {
  if (sendInProgress || socketHandle <= 0 || ssl == nullptr) return;
  if (ssl->sendFlushed < ssl->sendFill) {
    SslIoScope scope(*this, SslIoPhase::Gathering);
    sslWrite(ssl, nullptr, 0, 0);
  }
  if (sendGather.empty()) return;
  sendBuffers.clear();
  for (const ZelPacket* record : sendGather)
    sendBuffers.push_back({record->wire, static_cast<uint32_t>(record->payloadLength)});
  const uint32_t error = startOverlappedSend(sendBuffers.data(), static_cast<int>(sendBuffers.size()));
  if (error != 0) {
    close(LocalEvent::ConnectionClosed, failureReason, error);
  }
}

}  // namespace zelkit::detail
