#pragma once

#include <cstdio>

#include "core/wire/packet.h"

namespace zelkit::detail {

// Writes one packet record to a log file and flushes it: the time stamp,
// the category and the four header words, the payload in hex and as text,
// and, for a packet that carries one, its value table.
//   header  the 16-byte Zel header, the payload right behind it;
//   length  payload bytes to write, 0 for the header's payload-length field;
//   packet  the packet the header lies in, or null; it bounds the payload
//           and holds the value table.
void writePacketDump(std::FILE* file, const char* category, const void* header, int length, const ZelPacket* packet);

}  // namespace zelkit::detail
