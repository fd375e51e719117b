#include <algorithm>
#include <cstring>

#include "core/engine/list.h"
#include "core/wire/packet.h"

namespace zelkit::detail {

namespace {
constexpr uint32_t kTpktVersionWord = 0x03000000;
constexpr int32_t kContinuationRemainingMs = 0x7FFFFFFF;

void setFrameLength(ZelPacket* packet, int payloadLength) {
  packet->setTpktWord(kTpktVersionWord | static_cast<uint32_t>(payloadLength + FRAME_HEADER_SIZE));
  packet->setHeaderWord(3, (packet->headerWord(3) & 0xFFFF0000u) | static_cast<uint32_t>(payloadLength));
  packet->payloadLength = payloadLength;
}
}  // namespace

PacketChain splitIntoFragments(ZelPacket* packet, int payloadLength) {
  PacketChain chain;
  // Pieces are cut from the end so that each lower piece copies the mode
  // byte after the more-fragments bit was set: every piece but the highest
  // carries it.
  int pieceIndex = (payloadLength - 1) / MAX_FRAGMENT_PAYLOAD;
  int remaining = payloadLength;
  while (remaining > MAX_FRAGMENT_PAYLOAD) {
    const int start = pieceIndex * MAX_FRAGMENT_PAYLOAD;
    const int pieceLength = remaining - start;
    ZelPacket* piece = ZelPacket::alloc(MAX_FRAGMENT_PAYLOAD);
    std::memcpy(piece->wire, packet->wire, FRAME_HEADER_SIZE);
    std::memcpy(piece->payload(), packet->payload() + start, static_cast<std::size_t>(pieceLength));
    packet->setMode(packet->mode() | ModeMoreFragments);
    piece->context = nullptr;
    piece->waiterEvent = nullptr;
    piece->sourceUrl = packet->sourceUrl;
    piece->remainingMs = kContinuationRemainingMs;
    setFrameLength(piece, pieceLength);
    chain.pushFront(piece);
    remaining -= pieceLength;
    --pieceIndex;
  }
  setFrameLength(packet, std::min(payloadLength, MAX_FRAGMENT_PAYLOAD));
  chain.pushFront(packet);
  return chain;
}

}  // namespace zelkit::detail
