#pragma once

#include <cstdint>

// Masks for choices that must not branch on secret values.
namespace zelkit::detail {

// All ones when a <= b, else zero.
inline uint32_t maskLessOrEqual(uint32_t a, uint32_t b) {
  return static_cast<uint32_t>((static_cast<uint64_t>(b) - a) >> 63) - 1;
}

// All ones when x is zero, else zero.
inline uint32_t maskZero(uint32_t x) { return maskLessOrEqual(x, 0); }

}  // namespace zelkit::detail
