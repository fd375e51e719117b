#include "core/connection/connection.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

ZelPacket* Connection::takePendingRequest(ZelPacket* reply) {
  // The request that holds the reply's command word and id, once it is on
  // the wire (a request without callback takes its reply too, which frees
  // its id). Continuation fragments hold no id, so none swallows a reply.
  ZelPacket* request = transactionIdHolder(reply);
  if (request == nullptr || !PendingList::contains(request)) {
    if (receivePhase != ReceivePhase::Datagram) return nullptr;
    request = untrackedRequestFor(reply);
    if (request == nullptr) return nullptr;
  }
  pending.remove(request);
  releaseTransactionId(request);
  return request;
}

ZelPacket* Connection::untrackedRequestFor(const ZelPacket* reply) const {
  // Requests by MAC address wait on the datagram connection's pending list
  // without an id of the table; the oldest of the command word and id is
  // answered.
  ZelPacket* found = nullptr;
  for (ZelPacket* packet = pending.first(); packet != nullptr; packet = packet->pNext)
    if (packet->callback != nullptr && packet->headerWord(0) == reply->headerWord(0) &&
        packet->transactionId() == reply->transactionId())
      found = packet;
  return found;
}

void Connection::dispatchPacket(ZelPacket* packet) {
  if ((packet->mode() & 0x0F) != Message) {
    ZelPacket* request = takePendingRequest(packet);
    if (request == nullptr) {
      ZelPacket::free(packet);  // a reply that matches nothing
      return;
    }
    packet->callback = request->callback;
    packet->context = request->context;
    sendIfIdle();  // a request that waited for the freed id
    core().deliver(0, packet, request);
    releaseSentPacket(request);
    return;
  }
  checkMessageSequence(packet->transactionId());
  if (packet->headerWord(0) == ZelTag::KeepAliveMessage) {
    core().sendRequest(0, this, ZelHeader(ZelTag::KeepAliveAnswer, 0), Request, emptyPayload(), nullptr, nullptr,
                       nullptr);
    ZelPacket::free(packet);
    return;
  }
  deliverMessage(packet);
}

void Connection::checkMessageSequence(uint8_t sequence) {
  if (lastMessageSeq < 0) {
    if (sequence != 0) lastMessageSeq = sequence;
    return;
  }
  if (sequence != ((lastMessageSeq + 1) & 0xFF))
    core().log(this, "msg ", "%02x - %02x message(s) lost.", lastMessageSeq, sequence);
  lastMessageSeq = sequence;
}

}  // namespace zelkit::detail
