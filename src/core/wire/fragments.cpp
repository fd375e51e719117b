#include <algorithm>
#include <cstring>

#include "core/engine/list.h"
#include "core/wire/fragment_join.h"
#include "core/wire/packet.h"

namespace zelkit::detail {

namespace {
constexpr uint32_t kTpktVersionWord = 0x03000000;
constexpr int32_t kContinuationRemainingMs = 0x7FFFFFFF;
// Received frames smaller than this are copied into chunks of this size.
constexpr int32_t kGatheredFrameMax = 4096;

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

void FragmentJoin::add(ZelPacket* frame) {
  const int32_t length = frame->payloadLength;
  payloadBytes_ += length;
  ZelPacket* tail = frames_.last();
  if (tail == nullptr || length >= kGatheredFrameMax) {
    frames_.append(frame);
    return;
  }
  // Small frames are gathered into chunks: kept one by one, a chain of
  // many small (or empty) frames would hold far more than its bytes.
  if (tail->capacity() - tail->payloadLength < length) {
    tail = ZelPacket::alloc(kGatheredFrameMax);
    frames_.append(tail);
  }
  std::memcpy(tail->payload() + tail->payloadLength, frame->payload(), static_cast<std::size_t>(length));
  tail->payloadLength += length;
  ZelPacket::free(frame);
}

ZelPacket* FragmentJoin::join(ZelPacket* last) {
  add(last);
  ZelPacket* joined = ZelPacket::alloc(static_cast<int>(payloadBytes_));
  const int32_t blockSize = joined->blockSize;
  std::memcpy(static_cast<void*>(joined), frames_.first(), PACKET_FIXED_SIZE);
  joined->blockSize = blockSize;
  joined->pNext = nullptr;
  joined->pPrevLink = nullptr;
  joined->beingSent = false;
  joined->valueTable = nullptr;
  joined->setMode(joined->mode() & ~ModeMoreFragments);
  joined->payloadLength = static_cast<int32_t>(payloadBytes_);
  uint8_t* end = joined->payload();
  while (ZelPacket* frame = frames_.popFront()) {
    std::memcpy(end, frame->payload(), static_cast<std::size_t>(frame->payloadLength));
    end += frame->payloadLength;
    ZelPacket::free(frame);
  }
  payloadBytes_ = 0;
  return joined;
}

void FragmentJoin::clear() {
  while (ZelPacket* frame = frames_.popFront()) ZelPacket::free(frame);
  payloadBytes_ = 0;
}

}  // namespace zelkit::detail
