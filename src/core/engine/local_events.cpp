#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

ZelPacket* Core::newLocalPacket(uint32_t tag, ZelCallback callback, void* context) {
  // Defined header words, so delivery reads a message without an error.
  ZelPacket* packet = ZelPacket::alloc(0);
  packet->payloadLength = 0;
  packet->remainingMs = 0;
  packet->waiterEvent = nullptr;
  packet->sourceUrl = nullptr;
  packet->callback = callback;
  packet->context = context;
  packet->setTpktWord(0);
  packet->setHeaderWord(0, tag);
  packet->setHeaderWord(1, static_cast<uint32_t>(Message) << 24);
  packet->setHeaderWord(2, 0);
  packet->setHeaderWord(3, 0);
  return packet;
}

void Core::notifyLocal(uint32_t code, Connection* connection) {
  GlobalLock lock;
  if (connection == nullptr) connection = systemConnection();
  if (connection == nullptr) return;
  for (CallbackEntry* entry = connection->callbacks.first(); entry != nullptr; entry = entry->next) {
    if (!entry->receives(code)) continue;
    ZelPacket* packet = newLocalPacket(code, entry->callback, entry->context);
    packet->sourceUrl = connection->url;
    connection->logPacket("locl", packet);
    // Delivered like a due one-shot timer, at the next housekeeping pass, in
    // the order the events happened.
    timers.append(packet);
  }
}

}  // namespace zelkit::detail
