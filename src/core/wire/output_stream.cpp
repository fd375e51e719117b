#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

#include "core/wire/conversions.h"
#include "core/wire/packet.h"
#include "core/wire/utf16.h"
#include "core/wire/value_table.h"
#include "platform/socket.h"
#include "core/wire/exception_table.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit {

using detail::ValueTable;
using detail::ZelPacket;

namespace {

constexpr uint32_t kTpktEmptyFrame = 0x03000000 | detail::FRAME_HEADER_SIZE;
constexpr int kMaxFramePayload = 0xFFFF - detail::FRAME_HEADER_SIZE;
constexpr int kMaxEntryLength = 0xFFFF;

template <typename Unit>
const Unit* requireText(const Unit* text) {
  if (text == nullptr) throw detail::sharedException<BadParameterException>();
  return text;
}

std::size_t unitCount(const unsigned short* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

int wideRoom(std::size_t units) {
  const std::size_t room = 2 * units + 2;
  if (room > INT32_MAX) throw std::bad_alloc();
  return static_cast<int>(room);
}

}  // namespace

ZelOutputStream::ZelOutputStream() : ZelOutputStream(nullptr, 0, 0) {}

ZelOutputStream::ZelOutputStream(const void* data, int length) : ZelOutputStream(data, length, length) {}

ZelOutputStream::ZelOutputStream(const wchar_t* text)
    : ZelOutputStream(nullptr, 0, wideRoom(std::wcslen(requireText(text)))) {
  writeWString(text);
}

ZelOutputStream::ZelOutputStream(const unsigned short* text)
    : ZelOutputStream(nullptr, 0, wideRoom(unitCount(requireText(text)))) {
  writeWString(text);
}

ZelOutputStream::ZelOutputStream(const void* data, int length, int room)
    : packet_(nullptr), writePos_(nullptr), end_(nullptr) {
  if (length < 0) throw detail::sharedException<BadParameterException>();  // before the packet exists: nothing leaks
  alloc(std::max(room, length));
  write(data, length);
}

ZelOutputStream::ZelOutputStream(const ZelOutputStream& other) : ZelOutputStream(other.getPayload(), other.size()) {
  if (other.packet_ != nullptr && other.packet_->valueTable != nullptr)
    packet_->valueTable = new ZelOutputStream(*other.packet_->valueTable);
}

ZelOutputStream::ZelOutputStream(const ZelInputStream& source)
    : ZelOutputStream(source.readPos_, source.available()) {
  ZelPacket* sourcePacket = source.packet_;
  if (sourcePacket == nullptr) return;
  // The whole table travels along, so host ids keep their offsets.
  const int tableLength = sourcePacket->valueTableLength();
  if (tableLength > 0) packet_->valueTable = new ZelOutputStream(sourcePacket->valueTablePointer(), tableLength);
}

ZelOutputStream::~ZelOutputStream() { ZelPacket::free(packet_); }

ZelOutputStream& ZelOutputStream::operator=(const ZelOutputStream& other) {
  if (this != &other) {
    ZelOutputStream copy(other);
    std::swap(packet_, copy.packet_);
    std::swap(writePos_, copy.writePos_);
    std::swap(end_, copy.end_);
  }
  return *this;
}

void ZelOutputStream::alloc(int room) {
  packet_ = ZelPacket::alloc(room);
  writePos_ = packet_->payload();
  end_ = writePos_ + packet_->capacity();
}

void ZelOutputStream::check(int length) {
  if (length < 0) throw detail::sharedException<BadParameterException>();
  if (packet_ != nullptr && length <= end_ - writePos_) return;
  const int64_t needed = (end_ - getPayload()) + int64_t{length};
  if (needed > INT32_MAX) throw std::bad_alloc();
  ensureBufferSize(static_cast<int>(needed));
}

void ZelOutputStream::ensureBufferSize(int room) {
  if (packet_ == nullptr || room > end_ - packet_->payload()) realloc(room);
}

void ZelOutputStream::realloc(int room) {
  if (packet_ == nullptr) {  // emptied by extractPacket
    alloc(room);
    return;
  }
  const int64_t doubled = 2 * int64_t{end_ - packet_->payload()};
  const int newRoom = doubled > room && doubled <= INT32_MAX ? static_cast<int>(doubled) : room;
  const int used = size();
  ZelPacket* grown = ZelPacket::alloc(newRoom);
  std::memcpy(grown->payload(), packet_->payload(), static_cast<std::size_t>(used));
  grown->valueTable = packet_->valueTable;
  packet_->valueTable = nullptr;
  ZelPacket::free(packet_);
  packet_ = grown;
  writePos_ = grown->payload() + used;
  end_ = grown->payload() + grown->capacity();
}

// Small writes dominate payload building: one comparison when the room is
// there, the checks and the growth out of line in check. A negative length
// compares as huge, so it too reaches check, which refuses it.
inline unsigned char* ZelOutputStream::claim(int length) {
  if (static_cast<std::size_t>(end_ - writePos_) < static_cast<std::size_t>(length)) [[unlikely]]
    check(length);
  unsigned char* start = writePos_;
  writePos_ += length;
  return start;
}

unsigned char* ZelOutputStream::reserve(int length) {
  if (length == 0) check(0);  // an emptied stream gets its packet even here
  return claim(length);
}

void ZelOutputStream::write(const void* data, int length) {
  if (length == 0) return;
  std::memcpy(claim(length), data, static_cast<std::size_t>(length));
}

void ZelOutputStream::writeOctet(unsigned char value) { *claim(1) = value; }
void ZelOutputStream::writeUShort(unsigned short value) { detail::writeBE16(claim(2), value); }
void ZelOutputStream::writeInt(int value) { detail::writeBE32(claim(4), static_cast<uint32_t>(value)); }
void ZelOutputStream::writeULong(unsigned long value) { detail::writeBE32(claim(4), static_cast<uint32_t>(value)); }

void ZelOutputStream::writeString(const char* text) {
  const std::size_t length = std::strlen(requireText(text)) + 1;
  if (length > INT32_MAX) throw detail::sharedException<BadParameterException>();
  write(text, static_cast<int>(length));
}

namespace {
// Each unit goes out as 16 bits in network order, the zero unit included.
template <typename Unit, typename Widen>
void writeUnits(ZelOutputStream& stream, const Unit* text, Widen widen) {
  requireText(text);
  for (; *text != 0; ++text) stream.writeUShort(widen(*text));
  stream.writeUShort(0);
}
}  // namespace

void ZelOutputStream::writeWString(const wchar_t* text) {
  requireText(text);
  for (; *text != 0; ++text) {
    uint16_t units[2];
    const int count = detail::utf16::split(static_cast<uint32_t>(*text), units);
    for (int i = 0; i < count; ++i) writeUShort(units[i]);
  }
  writeUShort(0);
}

void ZelOutputStream::writeWString(const unsigned short* text) {
  writeUnits(*this, text, [](unsigned short unit) { return unit; });
}

void ZelOutputStream::writeWString(const char* text) {
  // Bytes widen as signed values: 0x80..0xFF become 0xFF80..0xFFFF.
  writeUnits(*this, text, [](char byte) { return static_cast<unsigned short>(static_cast<signed char>(byte)); });
}

void ZelOutputStream::enforceValueTable() {
  check(0);
  packet_->getValueTable();
}

namespace {
// Writes the host id (the offset of the new entry) and opens the entry in
// the table; the caller appends the entry data.
ZelOutputStream& openEntry(ZelOutputStream& stream, ZelPacket* packet, int entryLength, uint8_t type) {
  ZelOutputStream* table = packet->getValueTable();
  stream.writeULong(static_cast<uint32_t>(table->size()));
  table->writeUShort(static_cast<unsigned short>(entryLength));
  table->writeOctet(type);
  table->writeOctet(0);
  return *table;
}
}  // namespace

void ZelOutputStream::writeHostId(const char* host) {
  requireText(host);
  check(4);
  if (!packet_->hasValueTable() && std::isdigit(static_cast<unsigned char>(host[0]))) {
    // inet_addr semantics: text it cannot read becomes 255.255.255.255.
    const uint32_t address = platform::inetAddr(host);
    write(&address, 4);
    return;
  }
  const std::size_t textLength = std::strlen(host) + 1;
  const std::size_t padding = (4 - textLength % 4) % 4;
  const std::size_t entryLength = ValueTable::EntryHeaderSize + textLength + padding;
  if (entryLength > kMaxEntryLength) throw detail::sharedException<BadParameterException>();
  ZelOutputStream& table = openEntry(*this, packet_, static_cast<int>(entryLength), ValueTable::HostNameEntry);
  table.write(host, static_cast<int>(textLength));
  std::memset(table.reserve(static_cast<int>(padding)), ' ', padding);
  packet_->addValueTableEntry(static_cast<int>(entryLength));
}

void ZelOutputStream::writeHostId(sockaddr* address) {
  if (address == nullptr) throw detail::sharedException<BadParameterException>();
  check(4);
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    if (!packet_->hasValueTable()) {
      write(&v4->sin_addr, 4);
      return;
    }
    constexpr int entryLength = ValueTable::EntryHeaderSize + 4;
    openEntry(*this, packet_, entryLength, ValueTable::IPv4Entry).write(&v4->sin_addr, 4);
    packet_->addValueTableEntry(entryLength);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    constexpr int entryLength = ValueTable::EntryHeaderSize + 16;
    openEntry(*this, packet_, entryLength, ValueTable::IPv6Entry).write(&v6->sin6_addr, 16);
    packet_->addValueTableEntry(entryLength);
  } else {
    throw detail::sharedException<BadParameterException>();
  }
}

int ZelOutputStream::size() const { return packet_ == nullptr ? 0 : static_cast<int>(writePos_ - packet_->payload()); }

const unsigned char* ZelOutputStream::getPayload() const { return packet_ == nullptr ? nullptr : packet_->payload(); }

const detail::ZelPacket* ZelOutputStream::getPacket() const { return packet_; }

detail::ZelPacket* ZelOutputStream::extractPacket() {
  ZelPacket* packet = packet_;
  if (packet != nullptr) packet->payloadLength = size();
  packet_ = nullptr;
  writePos_ = nullptr;
  end_ = nullptr;
  return packet;
}

const unsigned char* ZelOutputStream::getZelPacket(const ZelHeader& header) {
  check(0);
  const int length = size();
  // The TPKT length field has 16 bits; larger payloads go out as fragments.
  if (length > kMaxFramePayload) throw detail::sharedException<BadParameterException>();
  packet_->setTpktWord(kTpktEmptyFrame + static_cast<uint32_t>(length));
  packet_->setHeaderWord(0, header.tag);
  packet_->setHeaderWord(1, uint32_t{header.mode} << 24 | (static_cast<uint32_t>(header.transactionId) & 0xFF) << 16);
  packet_->setHeaderWord(2, header.sessionId);
  packet_->setHeaderWord(3, uint32_t{header.num} << 16 | static_cast<uint32_t>(length));
  return packet_->wire;
}

}  // namespace zelkit
