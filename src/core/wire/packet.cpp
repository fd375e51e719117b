#include "core/wire/packet.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/wire/value_table.h"

namespace zelkit::detail {

ZelPacket* ZelPacket::grow(ZelPacket* packet, int capacity) {
  ZelPacket* grown = alloc(capacity);
  const int32_t grownSize = grown->blockSize;
  std::memcpy(static_cast<void*>(grown), packet, static_cast<std::size_t>(std::min(packet->blockSize, grownSize)));
  grown->blockSize = grownSize;
  grown->pPrevLink = nullptr;
  packet->valueTable = nullptr;  // the table moved with the copy
  free(packet);
  return grown;
}

ZelPacket* ZelPacket::clone(const ZelPacket* packet) {
  ZelPacket* copy = alloc(packet->capacity());
  std::memcpy(static_cast<void*>(copy), packet, static_cast<std::size_t>(packet->blockSize));
  copy->pNext = nullptr;
  copy->pPrevLink = nullptr;
  copy->beingSent = false;
  copy->valueTable = nullptr;
  return copy;
}

void ZelPacket::setError(ZelPacket* packet, ErrorCodes code) {
  packet->setMode(code <= 0xFF ? ErrorReply : LocalError);
  packet->setHeaderWord(3, (packet->headerWord(3) & 0xFFFF0000u) | 1u);
  packet->payloadLength = 1;
  packet->payload()[0] = static_cast<uint8_t>(code);
}

uint8_t* ZelPacket::payload() { return reinterpret_cast<uint8_t*>(this) + PACKET_FIXED_SIZE; }
const uint8_t* ZelPacket::payload() const { return reinterpret_cast<const uint8_t*>(this) + PACKET_FIXED_SIZE; }
int ZelPacket::capacity() const { return blockSize - static_cast<int>(PACKET_FIXED_SIZE + PACKET_SPARE_BYTES); }

uint32_t ZelPacket::tpktWord() const { return readBE32(wire); }
void ZelPacket::setTpktWord(uint32_t value) { writeBE32(wire, value); }
uint32_t ZelPacket::headerWord(int index) const { return readBE32(wire + TPKT_HEADER_SIZE + 4 * index); }
void ZelPacket::setHeaderWord(int index, uint32_t value) { writeBE32(wire + TPKT_HEADER_SIZE + 4 * index, value); }

int ZelPacket::tpktLength() const { return readBE16(wire + 2); }
int ZelPacket::payloadEndOffset() const { return (headerWord(3) & 0xFFFF) + FRAME_HEADER_SIZE; }
uint8_t ZelPacket::mode() const { return wire[8]; }
void ZelPacket::setMode(uint8_t mode) { wire[8] = mode; }
uint8_t ZelPacket::transactionId() const { return wire[9]; }
void* ZelPacket::getContext() const { return context; }

ZelOutputStream* ZelPacket::getValueTable() {
  if (valueTable == nullptr) {
    valueTable = new ZelOutputStream();
    valueTable->writeULong(ValueTable::HeaderSize);
    valueTable->writeULong(ValueTable::KindWord);
  }
  return valueTable;
}

void ZelPacket::addValueTableEntry(int entryLength) {
  // The stream owns writable bytes; it only hands them out read-only.
  uint8_t* table = const_cast<uint8_t*>(getValueTable()->getPayload());
  writeBE32(table, readBE32(table) + static_cast<uint32_t>(entryLength));
  uint8_t* count = table + ValueTable::CountOffset;
  writeBE16(count, static_cast<uint16_t>(readBE16(count) + 1));
}

bool ZelPacket::hasValueTable() const { return valueTable != nullptr; }

uint8_t* ZelPacket::valueTablePointer() { return payload() + payloadLength; }

int ZelPacket::valueTableLength() const {
  if ((mode() & ModeValueTable) == 0) return 0;
  // Signed arithmetic: a joined packet's payload outgrows its first frame's
  // TPKT length, and a failure notice keeps the TPKT word of the request.
  // Never beyond the block, whatever the TPKT word says.
  const int64_t frameEnd = std::min<int64_t>(tpktLength() - FRAME_HEADER_SIZE, capacity());
  const int64_t length = frameEnd - payloadLength;
  return length < 1 ? 0 : static_cast<int>(length);
}

const uint8_t* ZelPacket::getValueTableEntry(uint32_t offset) const {
  const int64_t tableLength = valueTableLength();
  if (tableLength < ValueTable::HeaderSize) return nullptr;
  if (int64_t{offset} + ValueTable::EntryHeaderSize >= tableLength) return nullptr;
  const uint8_t* entry = payload() + payloadLength + offset;
  const uint16_t entryLength = readBE16(entry);
  if (entryLength < ValueTable::EntryHeaderSize || int64_t{offset} + entryLength > tableLength) return nullptr;
  return entry;
}

}  // namespace zelkit::detail
