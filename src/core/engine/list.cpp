#include "core/engine/list.h"

namespace zelkit::detail {

PacketChain::PacketChain(ZelPacket* packet) : head_(packet) { packet->pNext = nullptr; }

PacketChain::PacketChain(PacketChain& other) : head_(other.head_) { other.head_ = nullptr; }

ZelPacket* PacketChain::release() {
  ZelPacket* head = head_;
  head_ = nullptr;
  return head;
}

ZelPacket* PacketChain::popFront() {
  ZelPacket* packet = head_;
  if (packet != nullptr) head_ = packet->pNext;
  return packet;
}

int PacketChain::count() const {
  int n = 0;
  for (const ZelPacket* packet = head_; packet != nullptr; packet = packet->pNext) ++n;
  return n;
}

void PacketChain::pushFront(ZelPacket* packet) {
  packet->pNext = head_;
  head_ = packet;
}

}  // namespace zelkit::detail
