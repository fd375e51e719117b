// A device's slice-list reply, and a seek over the slices read from it.
// Input: a 4-byte time, a 4-byte occurrence, one byte of flags (bit 0 UTC,
// bit 1 the layer), then the reply's payload.
#include "client/replay/slice_list.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "client/replay/seek_target.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

uint32_t readU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelkit::detail;
  constexpr size_t prefix = 9;
  if (size < prefix) return 0;
  const uint32_t time = readU32(data);
  const int occurrence = static_cast<int>(readU32(data + 4));
  const bool utc = (data[8] & 1) != 0;
  const bool layer = (data[8] & 2) != 0;
  const size_t length = size - prefix;

  zelkit::ZelInputStream payload(data + prefix, static_cast<int>(length));
  std::vector<zelkit::HddSlice> slices;
  readSlices(payload, slices);
  require(slices.size() == length / HDD_SLICE_SIZE);
  require(payload.available() == static_cast<int>(length % HDD_SLICE_SIZE));
  for (const zelkit::HddSlice& slice : slices) {
    const int offset = slice.localtimeOffset();
    require(offset >= -63 * 900 && offset <= 63 * 900);
  }

  const SeekTarget target = chooseSeekTarget(slices, time, occurrence, utc, layer);
  if (slices.empty()) {
    require(target.slice == -1);
  } else {
    require(target.slice >= 0 && target.slice < static_cast<int>(slices.size()));
    if (!target.utc) {
      const zelkit::HddSlice& chosen = slices[static_cast<size_t>(target.slice)];
      require(target.time == time || target.time == chosen.start || target.time == chosen.end);
    }
  }
  return 0;
}
