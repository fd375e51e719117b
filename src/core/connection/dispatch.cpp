#include "core/connection/connection.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

ZelPacket* Connection::takePendingRequest(ZelPacket* reply) {
  // Only requests: a continuation fragment must not swallow the reply. A
  // request without callback takes its reply too, which frees its id.
  for (ZelPacket* packet = pending.first(); packet != nullptr; packet = packet->pNext) {
    if ((packet->callback != nullptr || holdsTransactionId(packet)) && packet->headerWord(0) == reply->headerWord(0) &&
        packet->transactionId() == reply->transactionId()) {
      pending.remove(packet);
      releaseTransactionId(packet);
      return packet;
    }
  }
  return nullptr;
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
