#include <algorithm>
#include <cstring>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/engine/unlocked_send.h"
#include "core/wire/exception_table.h"

namespace zelkit::detail {

namespace {

// Takes the payload stream's packet and appends its value table behind the
// payload; returns the packet and the table's length.
ZelPacket* takePayload(ZelOutputStream& payload, int32_t payloadLength, int32_t& tableLength) {
  const ZelOutputStream* table = payload.getPacket()->valueTable;
  tableLength = table != nullptr ? table->size() : 0;
  if (tableLength > 0 && payloadLength + tableLength >= MAX_FRAGMENT_PAYLOAD)
    throw sharedException<BadParameterException>();
  ZelPacket* packet = payload.extractPacket();
  if (tableLength > 0) {
    if (packet->capacity() < payloadLength + tableLength) packet = ZelPacket::grow(packet, payloadLength + tableLength);
    std::memcpy(packet->payload() + payloadLength, packet->valueTable->getPayload(), tableLength);
    packet->payloadLength = payloadLength + tableLength;
  }
  return packet;
}

ZelPacket* errorReplyPacket(int32_t errorCode, int32_t& payloadLength) {
  ZelPacket* packet = ZelPacket::alloc(0);
  if (errorCode < 0x100) {
    packet->payload()[0] = static_cast<uint8_t>(errorCode);
    payloadLength = 1;
  } else {
    writeBE16(packet->payload(), static_cast<uint16_t>(errorCode));
    payloadLength = 2;
  }
  packet->payloadLength = payloadLength;
  return packet;
}

}  // namespace

int Core::sendRequest(int32_t timeoutMs, Connection* connection, const ZelHeader& header, uint32_t mode,
                      ZelOutputStream& payload, ZelInputStream* response, ZelCallback callback, void* context) {
  // Nested in a section of the lock, or on the worker (which defers its
  // sends anyway), the request is sent as it is queued.
  if (globalLockHeld() || onWorkerThread())
    return submitRequest(timeoutMs, connection, header, mode, payload, response, callback, context);
  UnlockedSendScope scope(UnlockedSendScope::Collect);
  const int result = submitRequest(timeoutMs, connection, header, mode, payload, response, callback, context);
  if (Connection* sending = scope.connection()) {
    if (response != nullptr)
      writeCatchingReply(sending);
    else
      sending->sendQueuedUnlocked();
  }
  return result;
}

bool Core::deferSendUntilUnlocked(Connection* connection) {
  // Client connections live as long as the process, so the write after the
  // lock is let go finds this one still there; TLS keeps its own send path.
  return connection->ssl == nullptr && connection->session == nullptr && UnlockedSendScope::collect(connection);
}

int Core::submitRequest(int32_t timeoutMs, Connection* connection, const ZelHeader& header, uint32_t mode,
                        ZelOutputStream& payload, ZelInputStream* response, ZelCallback callback, void* context) {
  GlobalLock lock;
  // The worker would wait for a reply that only it can receive.
  if (response != nullptr && onWorkerThread()) throw sharedException<BadParameterException>();

  const bool failed = connection->state == ConnectionState::Failed;
  // After terminate no worker times requests out: a synchronous one would
  // wait for ever, so it ends at once, as if its time had run out.
  const bool unanswerable = response != nullptr && isTerminating();
  // A request takes its id when it is queued (it may have to wait for one);
  // one that fails at once takes the next counter value.
  uint32_t transactionId = static_cast<uint32_t>(header.transactionId) & 0xFF;
  if (mode == Request) transactionId = failed || unanswerable ? connection->nextRequestCounter() & 0xFF : 0;
  uint8_t modeByte = static_cast<uint8_t>(mode);
  int32_t payloadLength = payload.size();
  int32_t tableLength = 0;
  ZelPacket* packet;
  if (mode == Reply && header.mode == ErrorReply) {
    modeByte = ErrorReply;
    packet = errorReplyPacket(header.errorCode, payloadLength);
  } else if (payloadLength == 0) {
    packet = ZelPacket::alloc(0);
    packet->payloadLength = 0;
  } else {
    packet = takePayload(payload, payloadLength, tableLength);
    if (tableLength > 0) modeByte |= ModeValueTable;
  }

  packet->callback = callback;
  packet->context = context;
  packet->remainingMs = timeoutMs != 0 ? timeoutMs : defaultTimeout();
  packet->waiterEvent = nullptr;
  packet->sourceUrl = connection->url;
  packet->setTpktWord(0x03000014u + static_cast<uint32_t>(payloadLength + tableLength));
  packet->setHeaderWord(0, header.tag);
  packet->setHeaderWord(1, static_cast<uint32_t>(modeByte) << 24 | transactionId << 16);
  packet->setHeaderWord(2, header.sessionId);
  packet->setHeaderWord(3, static_cast<uint32_t>(header.num) << 16 | (static_cast<uint32_t>(payloadLength) & 0xFFFF));

  PacketChain chain =
      payloadLength >= MAX_FRAGMENT_PAYLOAD ? splitIntoFragments(packet, payloadLength) : PacketChain(packet);

  if (response != nullptr) {
    packet->callback = syncRequestMarker;
    removePendingStream(response);
    response->purge();
    response->request_ = packet;
    armedStreams.pushFront(response);
    response->state_ = 1;
    noteSynchronousRequest(response, !failed && connection->session == nullptr ? connection : nullptr);
  }

  if (failed || unanswerable) {
    const ErrorCodes code = failed ? InvalidAddress : ResponseTimeout;
    // The log shows what is delivered.
    ZelPacket::setError(packet, code);
    connection->logPacket(failed ? "inv " : "tout", packet);
    failChain(chain, code);
    return static_cast<int>(transactionId);
  }
  const bool urgent = packet->callback == Connection::onRegisterReply;
  int result = static_cast<int>(transactionId);
  if (mode == Request)
    result = connection->queueRequest(chain, urgent);
  else
    connection->queuePackets(chain, urgent);
  startWorker(false, true);
  return result;
}

void Core::failChain(PacketChain& chain, uint32_t code) {
  ZelPacket* first = chain.popFront();
  while (ZelPacket* continuation = chain.popFront()) ZelPacket::free(continuation);
  deliver(code, first, first);
}

void Core::removePendingStream(ZelInputStream* stream) {
  GlobalLock lock;
  if (stream->state_ != 0) armedStreams.remove(stream);
  stream->state_ = 0;
}

int Core::checkRequestTimeouts(Connection* connection, uint32_t elapsedMs) {
  const int32_t elapsed = static_cast<int32_t>(elapsedMs);
  const bool client = connection->session == nullptr;  // lives on whatever the callbacks do
  // Expired requests are collected first and delivered after both walks:
  // a callback runs with the lock released, and the lists may change then.
  struct Expired {
    ZelPacket* packet;   // what is delivered
    ZelPacket* request;  // what a synchronous caller waits for
  };
  std::vector<Expired> expired;
  // A look-up that outlasts a request's time-out counts as a bad address,
  // whichever list the request waits on.
  auto giveUpResolving = [&] {
    if (connection->state != ConnectionState::Resolving) return;
    connection->state = ConnectionState::Failed;
    notifyLocal(LocalEvent::AddressInvalid, connection);
  };
  std::vector<ZelPacket*> expiredWaiting;
  connection->takeExpiredWaitingRequests(elapsed, expiredWaiting);
  if (!expiredWaiting.empty()) giveUpResolving();
  for (ZelPacket* packet : expiredWaiting) expired.push_back({packet, packet});

  ZelPacket* previous = nullptr;
  for (ZelPacket* packet = connection->sendQueue.first(); packet != nullptr;) {
    ZelPacket* next = packet->pNext;
    packet->remainingMs -= elapsed;
    if (packet->remainingMs > -elapsed) {
      previous = packet;
    } else {
      giveUpResolving();
      connection->sendQueue.removeAfter(previous, packet);
      --connection->queuedCount;
      // The rest of a fragmented request goes in the same pass.
      if (next != nullptr && next->headerWord(0) == packet->headerWord(0) &&
          next->transactionId() == packet->transactionId())
        next->remainingMs = -elapsed;
      expired.push_back({packet, packet});
    }
    packet = next;
  }

  for (ZelPacket* packet = connection->pending.first(); packet != nullptr;) {
    ZelPacket* next = packet->pNext;
    packet->remainingMs -= elapsed;
    if (packet->remainingMs <= -elapsed) {
      giveUpResolving();
      connection->pending.remove(packet);
      if (connection->isBeingSent(packet)) {
        // The send still reads the packet: deliver a copy, free it later.
        ZelPacket* copy = ZelPacket::clone(packet);
        connection->releaseSentPacket(packet);
        expired.push_back({copy, packet});
      } else {
        expired.push_back({packet, packet});
      }
    }
    packet = next;
  }

  // The ids go to waiting requests before any callback can make new ones.
  for (const Expired& item : expired) connection->releaseTransactionId(item.request);
  if (!expired.empty()) connection->sendIfIdle();
  // A login's outcome first: the callbacks after it release the lock, and a
  // reconnect made in one must not be failed by the old login's time-out.
  std::stable_partition(expired.begin(), expired.end(),
                        [](const Expired& item) { return item.packet->callback == Connection::onRegisterReply; });
  for (const Expired& item : expired) {
    ZelPacket* packet = item.packet;
    packet->sourceUrl = connection->url;
    const bool reset = packet->remainingMs < RESET_THRESHOLD_MS;
    const ErrorCodes code = reset ? ConnectionReset : ResponseTimeout;
    ZelPacket::setError(packet, code);  // the log shows what is delivered
    connection->logPacket(reset ? " rst" : "tout", packet);
    deliver(code, packet, item.request);
  }
  if (client && !expired.empty()) wakeOwnReplyReceiver(connection);
  return static_cast<int>(expired.size());
}

}  // namespace zelkit::detail
