#pragma once

#include <cstdint>
#include <vector>

#include "zelkit/replay_client.h"

namespace zelkit::detail {

// Where a seek moves playback: slice -1 when the list is empty.
struct SeekTarget {
  int slice = -1;
  uint32_t time = 0;
  // The time is the wanted UTC time itself (a slice held it), so the move
  // still adds the slice's offset; otherwise it is a slice bound in local time.
  bool utc = false;
};

// The occurrence-th slice holding the time (slice bounds shifted to UTC by
// their offsets when utc is set; an occurrence below 2 takes the first).
// When none is found: the last slice that held it, else the first slice
// starting after it, else the last slice, at its start; with the layer
// flag one slice earlier (not before the first) and at its end.
SeekTarget chooseSeekTarget(const std::vector<HddSlice>& slices, uint32_t time, int occurrence, bool utc, bool layer);

}  // namespace zelkit::detail
