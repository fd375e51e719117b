#include "zelkit/byte_order.h"

#include <bit>
#include <cstdint>

// Both directions are the same swap; values are taken modulo 2^32 (2^16).
unsigned long _htonl(unsigned long value) {
  const auto low = static_cast<uint32_t>(value);
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(low);
  return low;
}

unsigned short _htons(unsigned short value) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap16(value);
  return value;
}
