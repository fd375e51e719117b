// Reads of every kind and value-table lookups over a received frame.
// Input: one byte n, n operation bytes, then the frame (TPKT word, header,
// payload, table). A frame shorter than its header is read as a caller's
// buffer instead.
#include <cstddef>
#include <cstdint>
#include <cwchar>

#include <netinet/in.h>

#include "../core/wire/received_frame.h"
#include "core/wire/packet.h"
#include "core/wire/stream_access.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace {

using zelkit::ZelInputStream;
using zelkit::detail::ZelPacket;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Every entry found lies within the frame's table.
void checkLookup(const ZelPacket* packet, size_t frameLength, uint32_t offset) {
  const uint8_t* entry = packet->getValueTableEntry(offset);
  if (entry == nullptr) return;
  const uint8_t* tableStart = packet->payload() + packet->payloadLength;
  const uint8_t* entryEnd = entry + zelkit::detail::readBE16(entry);
  require(entry >= tableStart);
  require(entryEnd <= tableStart + packet->valueTableLength());
  require(entryEnd <= packet->payload() + (frameLength - zelkit::detail::FRAME_HEADER_SIZE));
}

void runOperation(ZelInputStream& stream, const ZelPacket* packet, size_t frameLength, uint8_t op) {
  const int argument = op / 16;
  char text[32];
  wchar_t wide[32];
  sockaddr_in6 address;
  switch (op % 16) {
    case 0: stream.readOctet(); break;
    case 1: stream.readUShort(); break;
    case 2: stream.readULong(); break;
    case 3: stream.readULongN(); break;
    case 4: stream.read(text, argument); break;
    case 5: stream.skip(argument); break;
    case 6:
      stream.readString(text, argument + 1);
      require(std::memchr(text, 0, static_cast<size_t>(argument) + 1) != nullptr);
      break;
    case 7:
      std::wmemset(wide, L'#', 32);
      stream.readWString(wide, argument + 1);
      for (int i = 0; i <= argument && wide[i] != 0; ++i)
        require(static_cast<uint32_t>(wide[i]) <= 0x10FFFF && (wide[i] < 0xD800 || wide[i] > 0xDFFF));
      break;
    case 8:
      if (stream.readHostId(text, argument + 1) != nullptr)
        require(std::memchr(text, 0, static_cast<size_t>(argument) + 1) != nullptr);
      break;
    case 9: stream.readHostId(reinterpret_cast<sockaddr*>(&address), argument == 0 ? 27 : 28); break;
    case 10: zelkit::ZelHeader{stream}; break;
    case 11:
      if (packet != nullptr) checkLookup(packet, frameLength, static_cast<uint32_t>(stream.readULong()));
      break;
    case 12:
      if (packet != nullptr) checkLookup(packet, frameLength, 0xFFFFFFFFu - static_cast<uint32_t>(argument));
      break;
    case 13: {
      zelkit::ZelOutputStream copy(stream);
      require(copy.size() == stream.available());
      break;
    }
    case 14: {
      ZelInputStream copy;
      copy = stream;
      require(copy.available() == stream.available() && copy.pos() == stream.pos());
      break;
    }
    default: stream.pos(); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t scriptLength = data[0] % 32 < size - 1 ? data[0] % 32 : size - 1;
  const uint8_t* script = data + 1;
  const uint8_t* frame = script + scriptLength;
  const size_t frameLength = size - 1 - scriptLength;
  if (frameLength > 0xFFFF) return 0;

  ZelInputStream stream(frame, static_cast<int>(frameLength));
  ZelPacket* packet = nullptr;
  if (frameLength >= static_cast<size_t>(zelkit::detail::FRAME_HEADER_SIZE)) {
    packet = zelkit::test::packetAsReceived(frame, frameLength);
    zelkit::detail::StreamAccess::attach(stream, packet);
  }
  for (size_t i = 0; i < scriptLength; ++i) {
    const int before = stream.available();
    try {
      runOperation(stream, packet, frameLength, script[i]);
    } catch (zelkit::Exception*) {
      require(stream.available() <= before);
    }
    require(stream.available() >= 0);
  }
  return 0;
}
