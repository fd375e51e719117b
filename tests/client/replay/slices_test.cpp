// Slices without a device: the local-time offset, the reading of a
// slice-list payload and the choice of a seek's slice and time.
#include <gtest/gtest.h>

#include "client/replay/replay_test_util.h"
#include "client/replay/seek_target.h"
#include "client/replay/slice_list.h"

namespace {

using namespace replaytest;
using zelkit::HddSlice;

TEST(HddSlice, LocaltimeOffsetOfInfo) {
  const struct {
    uint32_t info;
    int offset;
  } cases[] = {
      {0x00000000, 0},        {0x01000000, 1800},      {0x21000000, -1800}, {0x00800000, 900},
      {0x1F800000, 63 * 900}, {0x3F800000, -63 * 900}, {0x20000000, 0},  // negative zero
      {0xC07FFFFF, 0},                                                   // bits outside the offset do not count
      {0xDF800000, 63 * 900},                                            // nor beside it
  };
  for (const auto& row : cases) EXPECT_EQ(slice(0, 0, row.info).localtimeOffset(), row.offset) << std::hex << row.info;
}

TEST(SliceList, ReadsWholeSlicesInOrderAndIgnoresAShortTail) {
  const std::vector<HddSlice> sent = {slice(1, 2, 0x01000000, 0xAABBCCDD), slice(0xFFFFFFF0, 0xFFFFFFFF, 3, 4),
                                      slice(5, 6, 7, 8)};
  const Bytes all = encodeSlices(sent);
  const struct {
    size_t length;
    size_t slices;
  } cases[] = {{0, 0}, {15, 0}, {16, 1}, {40, 2}, {48, 3}};
  for (const auto& row : cases) {
    zelkit::ZelInputStream payload(all.data(), static_cast<int>(row.length));
    std::vector<HddSlice> read;
    zelkit::detail::readSlices(payload, read);
    ASSERT_EQ(read.size(), row.slices) << row.length << " bytes";
    for (size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(read[i].start, sent[i].start);
      EXPECT_EQ(read[i].end, sent[i].end);
      EXPECT_EQ(read[i].info, sent[i].info);
      EXPECT_EQ(read[i].flags, sent[i].flags);
    }
  }
}

TEST(SeekTarget, ChoosesSliceAndTime) {
  // Local slices with gaps between them.
  const std::vector<HddSlice> local = {slice(1000, 1999), slice(3000, 3999), slice(5000, 5999)};
  // UTC 8200..9199 and 9000..9999; the third shifted the other way to 2800..3799.
  const std::vector<HddSlice> zoned = {slice(10000, 10999, kOffsetPlus1800), slice(9000, 9999),
                                       slice(1000, 1999, 0x21000000)};
  const struct {
    const char* name;
    const std::vector<HddSlice>* slices;
    uint32_t time;
    int occurrence;
    bool utc;
    bool layer;
    int slice;
    uint32_t target;
    bool stillUtc;
  } cases[] = {
      {"inside", &local, 1500, 0, false, false, 0, 1500, false},
      {"first second", &local, 3000, 0, false, false, 1, 3000, false},
      {"last second", &local, 3999, 0, false, false, 1, 3999, false},
      {"gap: next start", &local, 2500, 0, false, false, 1, 3000, false},
      {"before all", &local, 500, 0, false, false, 0, 1000, false},
      {"after all: last start", &local, 7000, 0, false, false, 2, 5000, false},
      {"inside, layer", &local, 1500, 0, false, true, 0, 1500, false},
      {"gap, layer: end of the slice before", &local, 4500, 0, false, true, 1, 3999, false},
      {"before all, layer: not below the first", &local, 500, 0, false, true, 0, 1999, false},
      {"after all, layer: last end", &local, 7000, 0, false, true, 2, 5999, false},
      {"utc, first occurrence", &zoned, 9100, 1, true, false, 0, 9100, true},
      {"utc, second occurrence", &zoned, 9100, 2, true, false, 1, 9100, true},
      {"utc, no third: start of the last holder", &zoned, 9100, 3, true, false, 1, 9000, false},
      {"utc, negative offset", &zoned, 3000, 1, true, false, 2, 3000, true},
      {"local ignores offsets", &zoned, 10500, 1, false, false, 0, 10500, false},
      {"utc, before all holders: next start", &zoned, 8000, 1, true, false, 0, 10000, false},
  };
  for (const auto& row : cases) {
    const auto target = zelkit::detail::chooseSeekTarget(*row.slices, row.time, row.occurrence, row.utc, row.layer);
    EXPECT_EQ(target.slice, row.slice) << row.name;
    EXPECT_EQ(target.time, row.target) << row.name;
    EXPECT_EQ(target.utc, row.stillUtc) << row.name;
  }
  EXPECT_EQ(zelkit::detail::chooseSeekTarget({}, 1000, 0, false, false).slice, -1);
}

}  // namespace
