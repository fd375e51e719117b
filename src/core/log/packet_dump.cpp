#include "core/log/packet_dump.h"

#include <algorithm>
#include <cstdint>

#include "core/wire/conversions.h"
#include "core/log/log_time.h"
#include "core/wire/value_table.h"

namespace zelkit::detail {

namespace {

constexpr int BYTES_PER_LINE = 16;
constexpr int INLINE_PAYLOAD_MAX = 4;  // written right after the header words
constexpr char TABLE_DOES_NOT_FIT[] = "\n### Fatal error, table doesn't fit to packet";
constexpr char HEX_DIGITS[] = "0123456789abcdef";

// "\n  %04x " and up to 16 bytes in hex, a blank before every group of four,
// then "  " and the bytes as text.
void writePayloadLine(std::FILE* file, int offset, const uint8_t* bytes, int count) {
  char line[BYTES_PER_LINE * 4 + 8];
  int at = 0;
  for (int i = 0; i < count; ++i) {
    if (i % 4 == 0) line[at++] = ' ';
    line[at++] = HEX_DIGITS[bytes[i] >> 4];
    line[at++] = HEX_DIGITS[bytes[i] & 0xF];
  }
  line[at++] = ' ';
  line[at++] = ' ';
  for (int i = 0; i < count; ++i) line[at++] = bytes[i] >= 32 && bytes[i] <= 126 ? static_cast<char>(bytes[i]) : '.';
  std::fprintf(file, "\n  %04x ", offset);
  std::fwrite(line, 1, static_cast<std::size_t>(at), file);
}

void writePayload(std::FILE* file, const uint8_t* payload, int length) {
  if (length > INLINE_PAYLOAD_MAX) {
    for (int offset = 0; offset < length; offset += BYTES_PER_LINE)
      writePayloadLine(file, offset, payload + offset, std::min(BYTES_PER_LINE, length - offset));
  } else {
    for (int i = 0; i < length; ++i) std::fprintf(file, "%02x", payload[i]);
  }
}

// An address entry too short for its address, or one that does not convert,
// is written without the address text.
void writeAddress(std::FILE* file, int family, const uint8_t* data, int dataLength) {
  const uint32_t addressLength = family == AF_INET ? 4 : 16;
  if (dataLength < static_cast<int>(addressLength)) return;
  sockaddr_in6 address;
  makeSockaddr(reinterpret_cast<sockaddr*>(&address), family, data, addressLength, 0);
  char text[64];
  std::fputs(addressToText(reinterpret_cast<const sockaddr*>(&address), text, sizeof text), file);
}

void writeEntry(std::FILE* file, const uint8_t* entry, int length) {
  const uint8_t* data = entry + ValueTable::EntryHeaderSize;
  const int dataLength = length - ValueTable::EntryHeaderSize;
  switch (entry[2]) {
    case ValueTable::IPv4Entry:
      std::fputs("IP  = ", file);
      writeAddress(file, AF_INET, data, dataLength);
      break;
    case ValueTable::IPv6Entry:
      std::fputs("IPv6= ", file);
      writeAddress(file, AF_INET6, data, dataLength);
      break;
    case ValueTable::HostNameEntry:
      // The name ends at its zero byte, and never past its entry.
      std::fprintf(file, "host= %.*s", dataLength, reinterpret_cast<const char*>(data));
      break;
    default:
      std::fprintf(file, "<Unsupported Type %d>", entry[2]);
  }
}

// The table starts behind the payload the header declares and runs to the
// end of the frame, which never lies beyond the packet's block. Entry
// lengths come from the peer: the walk ends at one that cannot advance it
// on the 4-byte grid, and at one that would end past the frame.
void writeValueTable(std::FILE* file, const ZelPacket* packet, int declaredPayload) {
  const int64_t frameLength = std::min<int64_t>(packet->tpktLength(), FRAME_HEADER_SIZE + int64_t{packet->capacity()});
  const int64_t tableStart = FRAME_HEADER_SIZE + int64_t{declaredPayload};
  const int64_t room = frameLength - tableStart;
  if (room < ValueTable::HeaderSize) {
    std::fputs(TABLE_DOES_NOT_FIT, file);
    return;
  }
  const uint8_t* table = packet->wire + tableStart;
  const uint32_t totalLength = readBE32(table);
  std::fprintf(file, "\n  t000  %08x.%08x", totalLength, readBE32(table + 4));
  for (int64_t offset = ValueTable::HeaderSize; offset < totalLength;) {
    if (offset + ValueTable::EntryHeaderSize > room) {
      std::fputs(TABLE_DOES_NOT_FIT, file);
      return;
    }
    const uint8_t* entry = table + offset;
    std::fprintf(file, "\n  t%03x  %08x ", static_cast<unsigned>(offset), readBE32(entry));
    const int length = readBE16(entry);
    if (length < ValueTable::EntryHeaderSize || length % 4 != 0) {
      std::fprintf(file, "<Bad entry length %d>", length);
      return;
    }
    if (offset + length > room) {
      std::fputs(TABLE_DOES_NOT_FIT, file);
      return;
    }
    writeEntry(file, entry, length);
    offset += length;
  }
}

bool carriesValueTable(const ZelPacket* packet) {
  return packet != nullptr && (packet->mode() & ~0x03) == ModeValueTable;  // a table, and not a fragment
}

}  // namespace

void writePacketDump(std::FILE* file, const char* category, const void* header, int length, const ZelPacket* packet) {
  const auto* head = static_cast<const uint8_t*>(header);
  formatTimestamp(file);
  std::fprintf(file, "%s %08x.%08x.%08x.%08x: ", category, readBE32(head), readBE32(head + 4), readBE32(head + 8),
               readBE32(head + 12));
  const int declaredPayload = readBE16(head + 14);
  if (length == 0) length = declaredPayload;
  if (packet != nullptr) length = std::min(length, packet->payloadLength);
  writePayload(file, head + ZEL_HEADER_SIZE, length);
  if (carriesValueTable(packet)) writeValueTable(file, packet, declaredPayload);
  std::fputc('\n', file);
  std::fflush(file);
}

}  // namespace zelkit::detail
