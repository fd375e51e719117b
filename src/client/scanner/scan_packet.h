#pragma once

#include "core/wire/packet.h"

namespace zelkit::detail {

// A packet for a scan subscriber: the header all zero, the payload (a
// received datagram, or nothing at the end of a scan) of the given length.
inline ZelPacket* newScanPacket(int payloadLength) {
  ZelPacket* packet = ZelPacket::alloc(payloadLength);
  packet->payloadLength = payloadLength;
  packet->callback = nullptr;
  packet->context = nullptr;
  packet->remainingMs = 0;
  packet->waiterEvent = nullptr;
  packet->sourceUrl = nullptr;
  packet->setTpktWord(0);
  for (int word = 0; word < 4; ++word) packet->setHeaderWord(word, 0);
  return packet;
}

}  // namespace zelkit::detail
