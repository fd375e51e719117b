#pragma once

#include <cstdint>

#include "core/engine/list.h"
#include "core/wire/packet.h"

namespace zelkit::detail {

// The frames of a fragmented payload received so far. They are kept as they
// arrived (small ones gathered into chunks) and joined when the last one
// comes, so that every byte of a large frame is copied once, into a block of
// the joined size, and the memory held stays within about twice the bytes
// held, however the peer cuts them.
class FragmentJoin {
 public:
  bool isEmpty() const { return frames_.isEmpty(); }
  const ZelPacket* first() const { return frames_.first(); }
  // Payload bytes of the frames held.
  int64_t payloadBytes() const { return payloadBytes_; }
  // Takes a frame that more frames follow.
  void add(ZelPacket* frame);
  // Takes the last frame; returns the whole payload in one packet with the
  // first frame's bookkeeping and header, the more-fragments bit cleared.
  ZelPacket* join(ZelPacket* last);
  // Frees the frames held.
  void clear();

 private:
  List<ZelPacket> frames_;
  int64_t payloadBytes_ = 0;
};

}  // namespace zelkit::detail
