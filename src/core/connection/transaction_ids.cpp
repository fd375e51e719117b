// Transaction ids of requests. A reply is matched to its request by command
// word and id, so no two requests of one command word on a connection may
// hold the same id: a request holds its id until it leaves the connection
// (answered or expired; one without a callback waits for its reply as well,
// which the device still sends), and while all 256 are held a new request
// waits, unsent and whole, for the first to free. A fragmented request that
// ends while the rest of it is still queued leaves that rest to go out
// whole, which keeps the id (below).

#include "core/connection/connection.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

namespace {

void stampTransactionId(ZelPacket* first, uint8_t id) {
  for (ZelPacket* piece = first; piece != nullptr; piece = piece->pNext)
    piece->setHeaderWord(1, (piece->headerWord(1) & 0xFF00FFFFu) | static_cast<uint32_t>(id) << 16);
}

}  // namespace

int Connection::queueRequest(PacketChain& packets, bool urgent) {
  GlobalLock lock;
  if (state == ConnectionState::Idle) connect();
  ZelPacket* first = packets.first();
  if (refusedByQueueLimit(urgent)) {
    // Completed at once: it takes a counter value, but holds no id.
    const auto id = static_cast<uint8_t>(nextRequestCounter());
    stampTransactionId(first, id);
    dropChain(packets);
    return id;
  }
  queuedCount += packets.count();
  CommandIds& ids = *idsOf(first->headerWord(0), true);
  if (ids.inUse == TRANSACTION_IDS) {
    ids.waiting.push_back(packets.release());
    return WAITING_FOR_TRANSACTION_ID;
  }
  const uint8_t id = takeTransactionId(ids, first);
  linkIntoSendQueue(packets, urgent);
  sendIfIdle();
  return id;
}

uint8_t Connection::takeTransactionId(CommandIds& ids, ZelPacket* request) {
  // The counter runs on past the ids in use, so an id is given again as
  // late as possible.
  uint8_t id;
  do {
    id = static_cast<uint8_t>(++requestCounter);
  } while (ids.holders[id] != nullptr);
  ids.holders[id] = request;
  ++ids.inUse;
  stampTransactionId(request, id);
  return id;
}

CommandIds* Connection::idsOf(uint32_t tag, bool create) {
  if (lastCommandIds != nullptr && lastCommandTag == tag) return lastCommandIds;
  CommandIds* ids;
  if (create) {
    ids = &commandIds[tag];
  } else {
    const auto found = commandIds.find(tag);
    if (found == commandIds.end()) return nullptr;
    ids = &found->second;
  }
  // Entries are never erased, so the pointer stays valid.
  lastCommandTag = tag;
  lastCommandIds = ids;
  return ids;
}

ZelPacket* Connection::transactionIdHolder(const ZelPacket* piece) {
  const CommandIds* ids = idsOf(piece->headerWord(0), false);
  return ids != nullptr ? ids->holders[piece->transactionId()] : nullptr;
}

bool Connection::holdsTransactionId(const ZelPacket* packet) { return transactionIdHolder(packet) == packet; }

void Connection::releaseTransactionId(ZelPacket* packet) {
  // Continuation pieces, replies and raw sends hold no id.
  if (!holdsTransactionId(packet)) return;
  CommandIds& ids = *idsOf(packet->headerWord(0), false);
  const uint8_t id = packet->transactionId();
  if (packet == partlySent) {
    // Its first pieces are on the wire: the rest still goes, so that the
    // device gets the request whole, and the device will answer it. Its
    // last piece holds the id as a request nobody waits for, until that
    // answer comes (and reaches no one) or its time runs out. That time
    // starts when the piece is taken for sending (notePieceTaken): the rest
    // may queue longer than any time-out behind the pieces being written.
    if (ZelPacket* last = lastQueuedPieceOf(packet)) {
      ids.holders[id] = last;
      partlySent = last;
      return;
    }
    partlySent = nullptr;  // that last piece itself timed out in the queue
  }
  ids.holders[id] = nullptr;
  --ids.inUse;
  if (ids.waiting.empty()) return;
  ZelPacket* next = ids.waiting.front();
  ids.waiting.pop_front();
  takeTransactionId(ids, next);
  PacketChain chain = PacketChain::linked(next);
  linkIntoSendQueue(chain, next->callback == onRegisterReply);
}

ZelPacket* Connection::lastQueuedPieceOf(const ZelPacket* request) {
  // Nothing else in the queue carries the request's id.
  for (ZelPacket* packet = sendQueue.first(); packet != nullptr; packet = packet->pNext)
    if (packet->headerWord(0) == request->headerWord(0) && packet->transactionId() == request->transactionId() &&
        (packet->mode() & (0x0F | ModeMoreFragments)) == Request)
      return packet;
  return nullptr;
}

void Connection::dropUnsentRest() {
  ZelPacket* request = partlySent;
  partlySent = nullptr;
  const uint32_t tag = request->headerWord(0);
  const uint8_t id = request->transactionId();
  PacketChain rest;
  ZelPacket* previous = nullptr;
  for (ZelPacket* packet = sendQueue.first(); packet != nullptr;) {
    ZelPacket* next = packet->pNext;
    if (packet->headerWord(0) == tag && packet->transactionId() == id && (packet->mode() & 0x0F) == Request) {
      sendQueue.removeAfter(previous, packet);
      --queuedCount;
      rest.pushFront(packet);
    } else {
      previous = packet;
    }
    packet = next;
  }
  // Only now: the id may go to a waiting request at once.
  while (ZelPacket* piece = rest.popFront()) {
    releaseTransactionId(piece);
    ZelPacket::free(piece);
  }
}

void Connection::takeExpiredWaitingRequests(int32_t elapsedMs, std::vector<ZelPacket*>& expired) {
  for (auto& [tag, ids] : commandIds) {
    std::size_t kept = 0;
    for (ZelPacket* first : ids.waiting) {
      first->remainingMs -= elapsedMs;
      if (first->remainingMs > -elapsedMs) {
        ids.waiting[kept++] = first;
        continue;
      }
      // The whole request goes, in the same pass.
      for (ZelPacket* piece = first->pNext; piece != nullptr;) {
        ZelPacket* next = piece->pNext;
        ZelPacket::free(piece);
        --queuedCount;
        piece = next;
      }
      first->pNext = nullptr;
      --queuedCount;
      expired.push_back(first);
    }
    ids.waiting.resize(kept);
  }
}

}  // namespace zelkit::detail
