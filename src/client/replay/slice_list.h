#pragma once

#include <vector>

#include "zelkit/replay_client.h"
#include "zelkit/streams.h"

namespace zelkit::detail {

constexpr int HDD_SLICE_SIZE = 16;

// The slices of a slice-list reply, appended in the order received: as many
// whole 16-byte slices as the payload holds. A device whose payload is not a
// multiple of 16 bytes loses only the short tail.
void readSlices(ZelInputStream& payload, std::vector<HddSlice>& slices);

}  // namespace zelkit::detail
