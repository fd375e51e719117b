#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/wire/conversions.h"
#include "core/wire/packet.h"
#include "core/wire/utf16.h"
#include "core/wire/value_table.h"
#include "core/wire/exception_table.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit {

using detail::ValueTable;
using detail::ZelPacket;

ZelInputStream::ZelInputStream()
    : packet_(nullptr), readPos_(nullptr), end_(nullptr), next_(nullptr), state_(0), request_(nullptr) {}

ZelInputStream::ZelInputStream(const void* data, int length) : ZelInputStream() {
  readPos_ = static_cast<const unsigned char*>(data);
  end_ = readPos_ + std::max(length, 0);
}

void ZelInputStream::check(int length) {
  // Only an armed stream has to wait; the worker sets its state.
  if (std::atomic_ref<uint16_t>(state_).load(std::memory_order_acquire) != 0) wait();
  if (length < 0 || length > end_ - readPos_) throw detail::sharedException<BadParameterException>();
}

inline const unsigned char* ZelInputStream::take(int length) {
  check(length);
  const unsigned char* start = readPos_;
  readPos_ += length;
  return start;
}

const unsigned char* ZelInputStream::skip(int length) { return take(length); }

unsigned char ZelInputStream::readOctet() { return *take(1); }
unsigned short ZelInputStream::readUShort() { return detail::readBE16(take(2)); }
unsigned long ZelInputStream::readULong() { return detail::readBE32(take(4)); }
int ZelInputStream::readInt() { return static_cast<int>(readULong()); }

unsigned long ZelInputStream::readULongN() {
  uint32_t value;
  std::memcpy(&value, take(4), 4);
  return value;
}

void ZelInputStream::read(void* buffer, int length) {
  const unsigned char* data = take(length);
  if (length > 0) std::memcpy(buffer, data, static_cast<std::size_t>(length));
}

void ZelInputStream::readString(char* buffer, int size) {
  if (size < 1) throw detail::sharedException<BadParameterException>();
  check(0);
  const std::size_t available = static_cast<std::size_t>(this->available());
  if (available == 0) {
    buffer[0] = '\0';
    return;
  }
  const auto* terminator = static_cast<const unsigned char*>(std::memchr(readPos_, 0, available));
  const std::size_t textLength = terminator != nullptr ? static_cast<std::size_t>(terminator - readPos_) : available;
  const std::size_t copied = std::min(textLength, static_cast<std::size_t>(size - 1));
  if (copied > 0) std::memcpy(buffer, readPos_, copied);
  buffer[copied] = '\0';
  // A text cut to the buffer leaves its remainder (and its zero byte) for
  // the next read; a text without a zero byte ends at the end of the data.
  const bool consumedTerminator = copied == textLength && terminator != nullptr;
  readPos_ += copied + (consumedTerminator ? 1 : 0);
}

static_assert(sizeof(wchar_t) == 4, "a wchar_t holds a whole character");

void ZelInputStream::readWString(wchar_t* buffer, int max) {
  if (max < 1) throw detail::sharedException<BadParameterException>();
  for (int i = 0; i < max; ++i) {
    uint32_t character = readUShort();
    if (detail::utf16::isHighSurrogate(character) && available() >= 2 &&
        detail::utf16::isLowSurrogate(detail::readBE16(readPos_)))
      character = detail::utf16::join(character, readUShort());
    else if (detail::utf16::isSurrogate(character))
      character = detail::utf16::Replacement;  // half a pair
    buffer[i] = static_cast<wchar_t>(character);
    if (character == 0) return;
  }
}

void ZelInputStream::readWString(unsigned short* buffer, int max) {
  if (max < 1) throw detail::sharedException<BadParameterException>();
  for (int i = 0; i < max; ++i) {
    buffer[i] = readUShort();
    if (buffer[i] == 0) return;
  }
}

namespace {

// The entry a host id points to, or BadParameterException.
const uint8_t* tableEntry(const ZelPacket* packet, uint32_t offset) {
  const uint8_t* entry = packet->getValueTableEntry(offset);
  if (entry == nullptr) throw detail::sharedException<BadParameterException>();
  return entry;
}

int entryDataLength(const uint8_t* entry) { return detail::readBE16(entry) - ValueTable::EntryHeaderSize; }
uint8_t entryType(const uint8_t* entry) { return entry[2]; }
const uint8_t* entryData(const uint8_t* entry) { return entry + ValueTable::EntryHeaderSize; }

// An IPv4 or IPv6 entry as a socket address; BadParameterException when the
// entry is of another type or its length does not fit the family.
void addressFromEntry(const uint8_t* entry, sockaddr* address) {
  const int family = entryType(entry) == ValueTable::IPv4Entry   ? AF_INET
                     : entryType(entry) == ValueTable::IPv6Entry ? AF_INET6
                                                                 : -1;
  const int length = entryDataLength(entry);
  if (family < 0 ||
      detail::makeSockaddr(address, family, entryData(entry), static_cast<uint32_t>(length), 0) != 0)
    throw detail::sharedException<BadParameterException>();
}

// Once a packet carries a table, every non-zero host id is an entry offset.
bool carriesValueTable(const ZelPacket* packet) {
  return packet != nullptr && (packet->mode() & detail::ModeValueTable) != 0;
}

}  // namespace

char* ZelInputStream::readHostId(char* buffer, int size) {
  const uint32_t hostId = static_cast<uint32_t>(readULong());
  if (hostId == 0) {
    if (size >= 1) buffer[0] = '\0';
    return nullptr;
  }
  if (!carriesValueTable(packet_)) {
    if (size >= 1)
      std::snprintf(buffer, static_cast<std::size_t>(size), "%d.%d.%d.%d", static_cast<int>(hostId >> 24),
                    static_cast<int>(hostId >> 16 & 0xFF), static_cast<int>(hostId >> 8 & 0xFF),
                    static_cast<int>(hostId & 0xFF));
    return buffer;
  }
  const uint8_t* entry = tableEntry(packet_, hostId);
  if (entryType(entry) == ValueTable::HostNameEntry) {
    const int dataLength = entryDataLength(entry);
    if (dataLength < 1) throw detail::sharedException<BadParameterException>();
    if (size < 1) return buffer;
    // The name up to its zero byte, never past the entry, always terminated
    // within the buffer; the rest of the entry's span is zero-filled.
    const std::size_t span = static_cast<std::size_t>(std::min(size, dataLength));
    const auto* name = reinterpret_cast<const char*>(entryData(entry));
    const std::size_t nameLength = std::min(strnlen(name, span), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, name, nameLength);
    std::memset(buffer + nameLength, 0, std::max(span - nameLength, std::size_t{1}));
    return buffer;
  }
  sockaddr_in6 address;
  addressFromEntry(entry, reinterpret_cast<sockaddr*>(&address));
  return detail::addressToText(reinterpret_cast<const sockaddr*>(&address), buffer, static_cast<uint32_t>(std::max(size, 0)));
}

int ZelInputStream::readHostId(sockaddr* address, int size) {
  uint8_t hostId[4];
  read(hostId, 4);
  if (size < detail::sockaddrLength()) return -1;
  if (detail::readBE32(hostId) == 0 || !carriesValueTable(packet_)) {
    detail::makeSockaddr(address, AF_INET, hostId, 4, 0);
    return 4;
  }
  const uint8_t* entry = tableEntry(packet_, detail::readBE32(hostId));
  const int dataLength = entryDataLength(entry);
  if (entryType(entry) == ValueTable::HostNameEntry) {
    const auto* name = reinterpret_cast<const char*>(entryData(entry));
    const std::size_t nameLength = strnlen(name, static_cast<std::size_t>(std::max(dataLength, 0)));
    if (nameLength == 0 || detail::parseAddress(address, name, static_cast<uint32_t>(nameLength)) == 0)
      throw detail::sharedException<BadParameterException>();
  } else {
    addressFromEntry(entry, address);
  }
  return dataLength;
}

int ZelInputStream::available() const { return static_cast<int>(end_ - readPos_); }

int ZelInputStream::size() const { return packet_ == nullptr ? available() : static_cast<int>(end_ - packet_->payload()); }

int ZelInputStream::pos() const { return size() - available(); }

unsigned char* ZelInputStream::allocBuffer(int length) {
  if (length < 0) throw detail::sharedException<BadParameterException>();
  ZelPacket* packet = ZelPacket::alloc(length);
  packet->payloadLength = length;
  purge();
  setPayload(packet);
  return packet->payload();
}

int ZelInputStream::setPayload(detail::ZelPacket* packet) {
  ZelPacket::free(packet_);
  packet_ = packet;
  readPos_ = packet != nullptr ? packet->payload() : nullptr;
  end_ = packet != nullptr ? readPos_ + packet->payloadLength : nullptr;
  return 0;
}

void ZelInputStream::purge() {
  ZelPacket::free(packet_);
  packet_ = nullptr;
  readPos_ = nullptr;
  end_ = nullptr;
  next_ = nullptr;
  state_ = 0;
  request_ = nullptr;
}

}  // namespace zelkit
