#pragma once

#include <cstdint>

namespace zelkit::detail {

// Each DES S-box combined with the permutation P: entry v of table i is
// P applied to the output of S-box i+1 for the 6-bit input v, rotated left
// by one bit (the round works on halves kept rotated that way).
struct DesSpTables {
  uint32_t sp[8][64];
};

extern const DesSpTables desSpTables;

}  // namespace zelkit::detail
