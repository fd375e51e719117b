#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/completion_port.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "zelkit/server.h"

namespace zelkit::detail {

void Connection::queuePackets(PacketChain& packets, bool urgent) {
  GlobalLock lock;
  if (state == ConnectionState::Idle) connect();
  if (refusedByQueueLimit(urgent)) {
    dropChain(packets);
    return;
  }
  queuedCount += packets.count();
  if (session != nullptr) keepUntilSent(packets);
  linkIntoSendQueue(packets, urgent);
  sendIfIdle();
}

void Connection::keepUntilSent(PacketChain& packets) {
  // An accepted connection's replies wait for their peer to read, however
  // long that takes (how many there are is bounded by the pause of its
  // reading): one that timed out in the queue would be missing from the
  // middle of the stream, and its request would never be answered. Only the
  // end of the connection ends them. Messages keep their time-out: they
  // come whether the peer reads or not, and their sequence numbers tell it
  // of a gap.
  for (ZelPacket* packet = packets.first(); packet != nullptr; packet = packet->pNext)
    if (packet->callback == nullptr && (packet->mode() & 0x0F) != Message)
      packet->remainingMs = CONTINUATION_REMAINING_MS;
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

bool Connection::readyToSend() const {
  // Before registration only the registration packets leave (takeGather).
  return !sendInProgress && (state == ConnectionState::Registered || state == ConnectionState::TransportUp);
}

void Connection::sendIfIdle() {
  if (!readyToSend()) return;
  if (core().handlesCompletions())
    core().deferSend(this);
  else if (!core().deferSendUntilUnlocked(this))
    sendQueued();
}

void Connection::sendDeferredNow() {
  sendDeferred = false;
  if (readyToSend()) sendQueued();
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
    if (!writeGather()) return;
    finishSend();  // all of it went out at once
  }
}

void Connection::addToGather(ZelPacket* packet) {
  packet->beingSent = true;
  sendGather.push_back(packet);
  sendGatherBytes += packet->blockSize;
}

void Connection::endGather() {
  for (ZelPacket* packet : sendGather) packet->beingSent = false;
  sendGather.clear();
  sendGatherBytes = 0;
}

int Connection::takeGather() {
  const bool registered = state == ConnectionState::Registered;
  const uint32_t clientIdBits = static_cast<uint32_t>(clientId) & 0xFFFF;
  int count = 0;
  while (count < SEND_GATHER_MAX) {
    ZelPacket* packet = sendQueue.first();
    // Before registration only the registration packets leave, one per send.
    if (packet == nullptr || (!registered && packet->callback != onRegisterReply)) break;
    sendQueue.popFront();
    pending.pushFront(packet);
    addToGather(packet);
    ++count;
    if (isRawPacket(packet)) {
      if (hasLog()) logText("send", reinterpret_cast<const char*>(packet->payload()), packet->payloadLength, 50);
      continue;
    }
    if (hasLog()) logPacket("send", packet);
    if (registered) packet->setHeaderWord(1, packet->headerWord(1) | clientIdBits);
    notePieceTaken(packet);
    if (!registered) break;
  }
  return count;
}

void Connection::notePieceTaken(ZelPacket* piece) {
  // The last piece of a request that ended mid-send waits for the device's
  // answer from now on (see releaseTransactionId).
  if (piece == partlySent) piece->remainingMs = core().defaultTimeout();
  partlySent = (piece->mode() & ModeMoreFragments) != 0 ? transactionIdHolder(piece) : nullptr;
}

bool Connection::writeGather() {
  fillSendBuffers();
  return finishWrite(platform::sendAvailable(socketHandle, sendBuffers.data(), static_cast<int>(sendBuffers.size())));
}

void Connection::fillSendBuffers() {
  sendBuffers.clear();
  for (const ZelPacket* packet : sendGather) {
    if (isRawPacket(packet))
      sendBuffers.push_back({packet->payload(), static_cast<uint32_t>(packet->payloadLength)});
    else
      sendBuffers.push_back({packet->wire, static_cast<uint32_t>(packet->tpktLength())});
  }
}

void Connection::sendQueuedUnlocked() {
  GlobalLock lock;
  // The lock is let go only around the write itself. Meanwhile the send
  // counts as in progress, so that other threads only queue behind it and
  // the worker's sends wait for it: the bytes leave in queue order.
  while (readyToSend() && ssl == nullptr && socketHandle > 0 && core().suspendState() == 0) {
    const int count = takeGather();
    if (count == 0) return;
    queuedCount -= count;
    fillSendBuffers();
    sendInProgress = true;
    const uint32_t generation = socketGeneration;
    const platform::Socket socket = socketHandle;
    writingUnlocked.store(true, std::memory_order_relaxed);
    const int depth = releaseGlobalCompletely();
    const int sent = platform::sendAvailable(socket, sendBuffers.data(), static_cast<int>(sendBuffers.size()));
    // A close waits for this before it closes the socket and ends the gather.
    writingUnlocked.store(false, std::memory_order_release);
    reacquireGlobal(depth);
    if (socketGeneration != generation) return;  // closed meanwhile; the close ended the send
    sendInProgress = false;
    if (!finishWrite(sent)) return;
    finishSend();
  }
}

void Connection::waitForUnlockedWrite() const {
  while (writingUnlocked.load(std::memory_order_acquire)) platform::yieldProcessor();
}

bool Connection::finishWrite(int sent) {
  // What the socket took at once was written with no completion to wake
  // the worker for; only the rest goes out as an overlapped send. (A
  // failure is reported again by that send.)
  auto written = static_cast<uint32_t>(sent > 0 ? sent : 0);
  std::size_t done = 0;
  while (done < sendBuffers.size() && written >= sendBuffers[done].length) written -= sendBuffers[done++].length;
  if (done == sendBuffers.size()) return true;
  sendBuffers.erase(sendBuffers.begin(), sendBuffers.begin() + static_cast<std::ptrdiff_t>(done));
  sendBuffers.front().data = static_cast<const uint8_t*>(sendBuffers.front().data) + written;
  sendBuffers.front().length -= written;
  const uint32_t error = startOverlappedSend(sendBuffers.data(), static_cast<int>(sendBuffers.size()));
  if (error != 0) {
    if (hasLog()) logPacket("txer", sendGather.back());
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
  close(LocalEvent::ConnectionClosed, "Error sending packet %d", error);
}

int Connection::sendRaw(const char* data, int length, int) {
  GlobalLock lock;
  if (socketHandle <= 0 || refusedByQueueLimit(false)) return -1;
  if (length == 0) length = static_cast<int>(std::strlen(data));
  queueRawPacket(data, length, false);
  // On the worker too the bytes go now, not once the completion it handles
  // is done: an HTTP answer goes before what the handler then writes
  // itself, and before the end of a session that ends with it.
  if (core().onWorkerThread() && readyToSend()) sendQueued();
  return length;
}

void Connection::queueRawPacket(const char* data, int length, bool urgent) {
  ZelPacket* packet = ZelPacket::alloc(length);
  packet->setTpktWord(0);
  packet->setHeaderWord(0, 0);
  packet->payloadLength = length;
  packet->remainingMs = RAW_PACKET_REMAINING_MS;
  packet->callback = nullptr;
  packet->context = nullptr;
  packet->waiterEvent = nullptr;
  packet->sourceUrl = url;
  std::memcpy(packet->payload(), data, static_cast<std::size_t>(length));
  PacketChain chain(packet);
  queuePackets(chain, urgent);
}

void Connection::releaseSentPacket(ZelPacket* packet) {
  if (isBeingSent(packet))
    retiredWhileSending.pushFront(packet);
  else
    ZelPacket::free(packet);
}

void Connection::finishSend() {
  sendInProgress = false;
  // A peer that takes its replies is alive, though its requests are not
  // read while they drain.
  if (readingPaused) lastActivityTick = tickCount();
  // Sent messages and replies, raw sends and the rest of fragmented
  // requests need nothing more; a request nobody waits for still holds its
  // id until its reply. A packet no longer pending was retired while it
  // was sent.
  for (ZelPacket* packet : sendGather) {
    packet->beingSent = false;
    if (packet->callback == nullptr && !holdsTransactionId(packet) && pending.remove(packet) == 0)
      ZelPacket::free(packet);
  }
  sendGather.clear();
  sendGatherBytes = 0;
  while (ZelPacket* packet = retiredWhileSending.popFront()) ZelPacket::free(packet);
  resumeReadingIfDrained();
}

}  // namespace zelkit::detail
