#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/completion_port.h"
#include "platform/socket.h"
#include "zelkit/server.h"

namespace zelkit::detail {

void Connection::queuePackets(PacketChain& packets, bool urgent) {
  GlobalLock lock;
  if (state == ConnectionState::Idle) connect();
  if (queuedCount > SEND_QUEUE_LIMIT) {
    dropChain(packets);
    return;
  }
  queuedCount += packets.count();
  linkIntoSendQueue(packets, urgent);
  sendIfIdle();
}

void Connection::dropChain(PacketChain& packets) {
  // Completed at once, so a synchronous caller among them does not wait.
  if (hasLog())
    for (ZelPacket* packet = packets.first(); packet != nullptr; packet = packet->pNext) logPacket("drop", packet);
  core().failChain(packets, ConnectionReset);
}

void Connection::linkIntoSendQueue(PacketChain& packets, bool urgent) {
  if (urgent)
    sendQueue.pushFront(packets.popFront());
  else
    sendQueue.appendAll(packets);
}

void Connection::sendIfIdle() {
  // Before registration only the registration packets leave (takeGather).
  if (!sendInProgress && (state == ConnectionState::Registered || state == ConnectionState::TransportUp)) sendQueued();
}

void Connection::sendQueued() {
  if (core().suspendState() >= 1) return;
  if (ssl != nullptr) {
    sendQueuedSsl();
    return;
  }
  // One send at a time; none without a socket.
  while (!sendInProgress && socketHandle > 0) {
    const int count = takeGather();
    if (count == 0) return;
    queuedCount -= count;
    sendGatherCount = count;
    if (!writeGather()) return;
    finishSend();  // all of it went out at once
  }
}

int Connection::takeGather() {
  const bool registered = state == ConnectionState::Registered;
  int count = 0;
  while (count < SEND_GATHER_MAX) {
    ZelPacket* packet = sendQueue.first();
    // Before registration only the registration packets leave, one per send.
    if (packet == nullptr || (!registered && packet->callback != onRegisterReply)) break;
    sendQueue.popFront();
    pending.pushFront(packet);
    if (hasLog()) logPacket("send", packet);
    if (registered) packet->setHeaderWord(1, packet->headerWord(1) | (static_cast<uint32_t>(clientId) & 0xFFFF));
    sendGather[count++] = packet;
    notePieceTaken(packet);
    if (!registered) break;
  }
  return count;
}

void Connection::notePieceTaken(const ZelPacket* piece) {
  partlySent = (piece->mode() & ModeMoreFragments) != 0 ? transactionIdHolder(piece) : nullptr;
}

bool Connection::writeGather() {
  // An application thread writes a gather of small frames at once, so that
  // the worker is not woken for its completion; only what the socket does
  // not take goes out as an overlapped send. On the worker the overlapped
  // send stays: requests made meanwhile then gather behind it.
  uint32_t total = 0;
  for (int i = 0; i < sendGatherCount; ++i) total += static_cast<uint32_t>(sendGather[i]->tpktLength());
  uint32_t written = 0;
  if (total <= DIRECT_SEND_MAX && !core().onWorkerThread()) {
    uint8_t flat[DIRECT_SEND_MAX];
    uint32_t offset = 0;
    for (int i = 0; i < sendGatherCount; ++i) {
      const uint32_t length = static_cast<uint32_t>(sendGather[i]->tpktLength());
      std::memcpy(flat + offset, sendGather[i]->wire, length);
      offset += length;
    }
    // A failure is reported again by the overlapped send below.
    const int sent = platform::sendBytes(socketHandle, flat, static_cast<int>(total));
    if (sent > 0) written = static_cast<uint32_t>(sent);
    if (written == total) return true;
  }
  platform::IoBuffer rest[SEND_GATHER_MAX];
  int pieces = 0;
  uint32_t skip = written;
  for (int i = 0; i < sendGatherCount; ++i) {
    const uint32_t length = static_cast<uint32_t>(sendGather[i]->tpktLength());
    if (skip >= length) {
      skip -= length;
      continue;
    }
    rest[pieces++] = {sendGather[i]->wire + skip, length - skip};
    skip = 0;
  }
  const uint32_t error = startOverlappedSend(rest, pieces);
  if (error != 0) {
    if (hasLog()) logPacket("txer", sendGather[sendGatherCount - 1]);
    failSend(error);
  }
  return false;
}

uint32_t Connection::startOverlappedSend(const platform::IoBuffer* buffers, int count) {
  const uint32_t ticket = stampNextTicket(sendOp);
  const uint32_t error = platform::startSend(socketHandle, buffers, count, &sendOp.record);
  if (error != 0) return error;
  sendTicket = ticket;
  sendInProgress = true;
  if (session != nullptr) session->retain();
  return 0;
}

void Connection::failSend(uint32_t error) {
  sendGatherCount = 0;
  close(LocalEvent::ConnectionClosed, "Error sending packet %d", error);
}

int Connection::sendRaw(const char* data, int length, int) {
  GlobalLock lock;
  if (socketHandle <= 0) return -1;
  if (length == 0) length = static_cast<int>(std::strlen(data));
  if (ssl != nullptr) {
    queueRawSslPacket(data, length, false);
    return length;
  }
  if (sendInProgress) {
    core().log(this, "txer", "Try to send while pending");
    return -1;
  }
  if (hasLog()) logText("send", data, length, 50);
  ZelPacket* packet = ZelPacket::alloc(length);
  std::memcpy(packet->wire, data, length);
  packet->callback = nullptr;
  packet->context = nullptr;
  packet->waiterEvent = nullptr;
  packet->remainingMs = RAW_PACKET_REMAINING_MS;
  packet->sourceUrl = url;
  pending.pushFront(packet);
  sendGather[0] = packet;
  sendGatherCount = 1;
  const platform::IoBuffer buffer{packet->wire, static_cast<uint32_t>(length)};
  const uint32_t error = startOverlappedSend(&buffer, 1);
  if (error != 0) {
    logText("txer", data, length, 50);
    failSend(error);
  }
  return length;
}

bool Connection::isBeingSent(const ZelPacket* packet) const {
  for (int i = 0; i < sendGatherCount; ++i)
    if (sendGather[i] == packet) return true;
  return false;
}

void Connection::releaseSentPacket(ZelPacket* packet) {
  if (isBeingSent(packet))
    retiredWhileSending.pushFront(packet);
  else
    ZelPacket::free(packet);
}

void Connection::finishSend() {
  sendInProgress = false;
  // Sent messages and replies, raw sends and the rest of fragmented
  // requests need nothing more; a request nobody waits for still holds its
  // id until its reply. A packet no longer pending was retired while it
  // was sent.
  for (int i = 0; i < sendGatherCount; ++i) {
    ZelPacket* packet = sendGather[i];
    if (packet->callback == nullptr && !holdsTransactionId(packet) && pending.remove(packet) == 0)
      ZelPacket::free(packet);
  }
  sendGatherCount = 0;
  while (ZelPacket* packet = retiredWhileSending.popFront()) ZelPacket::free(packet);
}

}  // namespace zelkit::detail
