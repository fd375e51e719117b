#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire/byte_io.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit::detail {

class PacketChain;

enum PacketMode : uint8_t {
  Request = 0,
  Reply = 1,
  Message = 2,
  ErrorReply = 3,
  LocalError = 0xFF,
};

// Mode-byte bits on the wire.
constexpr uint8_t ModeValueTable = 0x40;
constexpr uint8_t ModeMoreFragments = 0x80;

constexpr int MAX_FRAGMENT_PAYLOAD = 65504;  // 0xFFE0
constexpr int PACKET_MIN_CAPACITY = 128;
constexpr int PACKET_CACHE_MAX = 100;
// Bytes of larger freed blocks kept for reuse, process-wide.
constexpr int64_t PACKET_LARGE_CACHE_BYTES = 64 << 20;
constexpr int TPKT_HEADER_SIZE = 4;
constexpr int ZEL_HEADER_SIZE = 16;
constexpr int FRAME_HEADER_SIZE = TPKT_HEADER_SIZE + ZEL_HEADER_SIZE;  // 20

// One Zel packet in memory: bookkeeping for the engine, then the exact wire
// image (TPKT word, 16-byte header, payload capacity), contiguous, so a
// frame is sent from and received into one buffer. Also carries timers
// (period in the TPKT word) and local notifications.
struct ZelPacket {
  ZelCallback callback;
  void* context;
  int32_t remainingMs;
  bool beingSent;  // a connection's outstanding send still reads the wire image
  void* waiterEvent;
  const char* sourceUrl;
  int32_t blockSize;
  // Payload bytes in use (an outgoing packet built by a stream includes an
  // appended value table; a received packet counts the payload alone).
  int32_t payloadLength;
  ZelOutputStream* valueTable;
  ZelPacket* pNext;
  // The link that points here while the packet is in a connection's
  // pending list (null elsewhere).
  ZelPacket** pPrevLink;
  // The wire image, in network byte order.
  uint8_t wire[FRAME_HEADER_SIZE];
  // payload capacity follows

  static ZelPacket* alloc(int capacity);
  static void free(ZelPacket* packet);
  static ZelPacket* grow(ZelPacket* packet, int capacity);
  static ZelPacket* clone(const ZelPacket* packet);
  static void setError(ZelPacket* packet, ErrorCodes code);
  // Packets allocated and not yet freed.
  static int liveCount();
  // Blocks held in the cache of freed minimum-size packets.
  static int cachedCount();
  // Bytes of the larger freed blocks held for reuse.
  static int64_t cachedLargeBytes();
  // Hands the larger blocks that stood unused since the call before the
  // previous one back to the heap (housekeeping calls it).
  static void releaseIdleBlocks();

  uint8_t* payload();
  const uint8_t* payload() const;
  int capacity() const;

  // The TPKT word (version, reserved, frame length) and the four header
  // words (tag; mode, transaction id, client id; session id; num, payload
  // length), as 32-bit host values.
  uint32_t tpktWord() const;
  void setTpktWord(uint32_t value);
  uint32_t headerWord(int index) const;  // 0 tag .. 3 num/length
  void setHeaderWord(int index, uint32_t value);

  int tpktLength() const;
  int payloadEndOffset() const;
  uint8_t mode() const;
  void setMode(uint8_t mode);
  uint8_t transactionId() const;
  void* getContext() const;

  ZelOutputStream* getValueTable();
  void addValueTableEntry(int entryLength);
  bool hasValueTable() const;
  uint8_t* valueTablePointer();
  int valueTableLength() const;
  // An entry of a received table, or null when it does not lie within it.
  const uint8_t* getValueTableEntry(uint32_t offset) const;
};

// A block: bookkeeping, TPKT word and header in front of the payload
// capacity, a few spare bytes behind it.
constexpr std::size_t PACKET_FIXED_SIZE = offsetof(ZelPacket, wire) + FRAME_HEADER_SIZE;
constexpr std::size_t PACKET_SPARE_BYTES = 4;

// Splits a packet whose payload is MAX_FRAGMENT_PAYLOAD bytes or more into
// frames of 65504 payload bytes (bit 0x80 on all but the last), in
// ascending payload order. The packet itself becomes the first piece.
PacketChain splitIntoFragments(ZelPacket* packet, int payloadLength);

}  // namespace zelkit::detail
