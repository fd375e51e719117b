// The packet dump of the log files over a received frame: its value-table
// walk follows entry lengths from the peer.
// Input: the frame (TPKT word, header, payload, table); its TPKT length is
// taken from the input's size, as the receive path reads exactly that.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "../core/wire/received_frame.h"
#include "core/log/packet_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < static_cast<size_t>(zelkit::detail::FRAME_HEADER_SIZE) || size > 0xFFFF) return 0;
  zelkit::detail::ZelPacket* packet = zelkit::test::packetAsReceived(data, size);
  static std::FILE* const sink = std::fopen("/dev/null", "w");
  zelkit::detail::writePacketDump(sink, "recv", packet->wire + zelkit::detail::TPKT_HEADER_SIZE, 0, packet);
  zelkit::detail::ZelPacket::free(packet);
  return 0;
}
