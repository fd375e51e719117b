#include "security/cipher/aes_tables.h"

namespace zelkit::detail {
namespace {

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b) {
    if (b & 1) product ^= a;
    a = static_cast<uint8_t>((a << 1) ^ (a & 0x80 ? 0x1B : 0));
    b >>= 1;
  }
  return product;
}

constexpr uint8_t gfInverse(uint8_t a) {
  // a^254 = a^-1 for a != 0, and 0 for 0; square-and-multiply keeps the
  // compile-time evaluation within every compiler's step limit.
  uint8_t result = 1;
  uint8_t power = a;
  for (int exponent = 254; exponent != 0; exponent >>= 1) {
    if (exponent & 1) result = gfMul(result, power);
    power = gfMul(power, power);
  }
  return result;
}

constexpr uint8_t rotl8(uint8_t v, int n) { return static_cast<uint8_t>(v << n | v >> (8 - n)); }

constexpr uint32_t column(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return static_cast<uint32_t>(b0) << 24 | static_cast<uint32_t>(b1) << 16 | static_cast<uint32_t>(b2) << 8 | b3;
}

constexpr AesTables makeAesTables() {
  AesTables t{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t b = gfInverse(static_cast<uint8_t>(x));
    const uint8_t s = b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63;
    t.sbox[x] = s;
    t.invSbox[s] = static_cast<uint8_t>(x);
  }
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = t.sbox[x];
    t.encRound[x] = column(gfMul(s, 2), s, s, gfMul(s, 3));
    const uint8_t v = t.invSbox[x];
    t.decRound[x] = column(gfMul(v, 14), gfMul(v, 9), gfMul(v, 13), gfMul(v, 11));
  }
  return t;
}

}  // namespace

constinit const AesTables aesTables = makeAesTables();

}  // namespace zelkit::detail
