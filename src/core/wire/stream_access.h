#pragma once

#include "core/wire/packet.h"
#include "zelkit/streams.h"

namespace zelkit::detail {

// Library-internal access to an input stream: the packet hand-over, for
// code that builds a stream over a received packet without being the core,
// and the wait for a reply without exceptions.
struct StreamAccess {
  // The stream frees its current packet and reads the payload of this one.
  static void attach(ZelInputStream& stream, ZelPacket* packet) { stream.setPayload(packet); }
  // Waits as ZelInputStream::wait does, but reports a failed request by
  // returning false with its error code instead of throwing: for library
  // threads, which must not throw the shared exception instances at once.
  static bool awaitReply(ZelInputStream& stream, int* errorCode);
  // The armed stream's wait on the thread's event, until the worker completes it.
  static void sleepUntilCompleted(ZelInputStream& stream);
};

}  // namespace zelkit::detail
