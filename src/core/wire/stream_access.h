#pragma once

#include "core/wire/packet.h"
#include "zelkit/streams.h"

namespace zelkit::detail {

// Library-internal access to an input stream's packet hand-over, for code
// that builds a stream over a received packet without being the core.
struct StreamAccess {
  // The stream frees its current packet and reads the payload of this one.
  static void attach(ZelInputStream& stream, ZelPacket* packet) { stream.setPayload(packet); }
};

}  // namespace zelkit::detail
