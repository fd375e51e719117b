#pragma once

#include <cstdint>

namespace zelkit::detail {

// The FIPS-197 S-boxes and the round tables derived from them. A round
// table entry is the MixColumns (or InvMixColumns) column of one S-box
// output in row 0, as a big-endian word; rows 1 to 3 are the same entry
// rotated right by 8, 16 and 24 bits.
struct AesTables {
  uint8_t sbox[256];
  uint8_t invSbox[256];
  uint32_t encRound[256];  // (2s, s, s, 3s) for s = sbox[x]
  uint32_t decRound[256];  // (14s, 9s, 13s, 11s) for s = invSbox[x]
};

extern const AesTables aesTables;

}  // namespace zelkit::detail
