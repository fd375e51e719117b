#include <cstddef>

#include "client/replay/slice_list.h"

namespace zelkit {

namespace {

constexpr uint32_t OFFSET_MASK = 0x1F800000;
constexpr int OFFSET_SHIFT = 23;
constexpr uint32_t OFFSET_NEGATIVE = 0x20000000;
constexpr int SECONDS_PER_QUARTER_HOUR = 900;

}  // namespace

int HddSlice::localtimeOffset() const {
  const int offset = static_cast<int>((info & OFFSET_MASK) >> OFFSET_SHIFT) * SECONDS_PER_QUARTER_HOUR;
  return (info & OFFSET_NEGATIVE) != 0 ? -offset : offset;
}

namespace detail {

void readSlices(ZelInputStream& payload, std::vector<HddSlice>& slices) {
  const int count = payload.available() / HDD_SLICE_SIZE;
  slices.reserve(slices.size() + static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    HddSlice slice;
    slice.start = static_cast<uint32_t>(payload.readULong());
    slice.end = static_cast<uint32_t>(payload.readULong());
    slice.info = static_cast<uint32_t>(payload.readULong());
    slice.flags = static_cast<uint32_t>(payload.readULong());
    slices.push_back(slice);
  }
}

}  // namespace detail

}  // namespace zelkit
