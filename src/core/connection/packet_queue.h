#pragma once

#include <cstdint>

#include "core/engine/list.h"
#include "core/wire/packet.h"

namespace zelkit::detail {

// A connection's send queue: its packets in order, and the memory they
// hold, kept up to date by every change of the queue.
class PacketQueue {
 public:
  void pushFront(ZelPacket* packet) {
    bytes_ += heldBytes(packet);
    packets_.pushFront(packet);
  }
  void append(ZelPacket* packet) {
    bytes_ += heldBytes(packet);
    packets_.append(packet);
  }
  void appendAll(PacketChain& chain) {
    for (const ZelPacket* packet = chain.first(); packet != nullptr; packet = packet->pNext)
      bytes_ += heldBytes(packet);
    packets_.appendAll(chain);
  }
  ZelPacket* popFront() {
    ZelPacket* packet = packets_.popFront();
    if (packet != nullptr) bytes_ -= heldBytes(packet);
    return packet;
  }
  // 0 when the packet was found and unlinked, -1 when it is not queued.
  int remove(ZelPacket* packet) {
    const int result = packets_.remove(packet);
    if (result == 0) bytes_ -= heldBytes(packet);
    return result;
  }
  // Unlinks packet, which follows previous (null: packet is the first).
  void removeAfter(ZelPacket* previous, ZelPacket* packet) {
    packets_.removeAfter(previous, packet);
    bytes_ -= heldBytes(packet);
  }
  ZelPacket* first() const { return packets_.first(); }
  bool isEmpty() const { return packets_.isEmpty(); }
  // The memory of the queued packets, bookkeeping included.
  int64_t bytes() const { return bytes_; }

 private:
  static int64_t heldBytes(const ZelPacket* packet) { return packet->blockSize; }

  List<ZelPacket> packets_;
  int64_t bytes_ = 0;
};

}  // namespace zelkit::detail
