#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/wire/packet.h"
#include "core/wire/stream_access.h"
#include "zelkit/streams.h"

namespace zelkit::test {

using Bytes = std::vector<uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

// A TPKT frame written out by hand: header (tag 0xFF050C30, transaction 7,
// client 0, session 0x11223344, num 9), payload and a value table behind it.
inline Bytes frameBytes(uint8_t mode, const Bytes& payload, const Bytes& table = {}) {
  const size_t total = 20 + payload.size() + table.size();
  Bytes frame = {0x03, 0x00, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total),
                 0xFF, 0x05, 0x0C, 0x30, mode, 0x07, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44,
                 0x00, 0x09, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
  return concat({frame, payload, table});
}

// A packet as the receive path leaves it: the frame in the wire image and
// payloadLength covering the payload alone.
inline detail::ZelPacket* receivedPacket(const Bytes& frame, int payloadLength) {
  detail::ZelPacket* packet = detail::ZelPacket::alloc(static_cast<int>(frame.size()) - 20);
  std::memcpy(packet->wire, frame.data(), 20);
  std::memcpy(packet->payload(), frame.data() + 20, frame.size() - 20);
  packet->payloadLength = payloadLength;
  return packet;
}

// Peer bytes taken as the receive path takes a frame: its TPKT length is
// the bytes' count, and payloadLength the payload alone (with a table, the
// header's field, at most the frame). Needs at least a frame header.
inline detail::ZelPacket* packetAsReceived(const uint8_t* bytes, size_t length) {
  Bytes frame(bytes, bytes + length);
  frame[2] = static_cast<uint8_t>(length >> 8);
  frame[3] = static_cast<uint8_t>(length);
  int payloadLength = static_cast<int>(length) - detail::FRAME_HEADER_SIZE;
  if ((frame[8] & detail::ModeValueTable) != 0) {
    const int declared = frame[18] << 8 | frame[19];
    if (declared < payloadLength) payloadLength = declared;
  }
  return receivedPacket(frame, payloadLength);
}

// Value table of the given entries (each already padded to a multiple of 4).
inline Bytes valueTable(std::initializer_list<Bytes> entries) {
  Bytes body;
  for (const Bytes& entry : entries) body.insert(body.end(), entry.begin(), entry.end());
  const uint32_t total = 8 + static_cast<uint32_t>(body.size());
  return concat({be32(total), {0x01, 0x00, 0x00, static_cast<uint8_t>(entries.size())}, body});
}

// An input stream reading a received frame's payload, with its table.
inline void attachFrame(ZelInputStream& stream, uint8_t mode, const Bytes& payload, const Bytes& table = {}) {
  detail::StreamAccess::attach(stream, receivedPacket(frameBytes(mode, payload, table), static_cast<int>(payload.size())));
}

}  // namespace zelkit::test
