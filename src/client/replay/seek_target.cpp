#include "client/replay/seek_target.h"

namespace zelkit::detail {

SeekTarget chooseSeekTarget(const std::vector<HddSlice>& slices, uint32_t time, int occurrence, bool utc, bool layer) {
  SeekTarget target;
  if (slices.empty()) return target;
  const int count = static_cast<int>(slices.size());
  int found = -1;
  for (int i = 0; i < count; ++i) {
    // Unsigned arithmetic on purpose: the device's times wrap as 32-bit values.
    const uint32_t offset = utc ? static_cast<uint32_t>(slices[i].localtimeOffset()) : 0;
    const uint32_t start = slices[i].start - offset;
    const uint32_t end = slices[i].end - offset;
    if (start <= time && time <= end) {
      found = i;
      if (--occurrence <= 0) {
        target.slice = i;
        target.time = time;
        target.utc = utc;
        return target;
      }
    } else if (found == -1 && start > time) {
      found = i;
    }
  }
  if (found >= 0 && layer && found > 0) --found;
  if (found == -1) found = count - 1;
  target.slice = found;
  target.time = layer ? slices[found].end : slices[found].start;
  return target;
}

}  // namespace zelkit::detail
