#pragma once

#include <cstdint>

#include "security/rsa/bignum.h"

// Word-array arithmetic shared by the big-number operations. Arrays are
// least significant word first; lengths are in 32-bit words.
namespace zelkit::detail::words {

// Words in use: the length without high zero words.
inline uint32_t used(const uint32_t* a, uint32_t n) {
  while (n > 0 && a[n - 1] == 0) --n;
  return n;
}

// r = a - b over n words; returns the borrow. r may alias a or b.
inline uint32_t subtract(uint32_t* r, const uint32_t* a, const uint32_t* b, uint32_t n) {
  uint32_t borrow = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t d = static_cast<uint64_t>(a[i]) - b[i] - borrow;
    r[i] = static_cast<uint32_t>(d);
    borrow = static_cast<uint32_t>(d >> 32) & 1;
  }
  return borrow;
}

// r = a + b over n words; returns the carry. r may alias a or b.
inline uint32_t add(uint32_t* r, const uint32_t* a, const uint32_t* b, uint32_t n) {
  uint32_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t s = static_cast<uint64_t>(a[i]) + b[i] + carry;
    r[i] = static_cast<uint32_t>(s);
    carry = static_cast<uint32_t>(s >> 32);
  }
  return carry;
}

// 1, 0 or -1 comparing two n-word values.
inline int compare(const uint32_t* a, const uint32_t* b, uint32_t n) {
  while (n-- > 0) {
    if (a[n] != b[n]) return a[n] > b[n] ? 1 : -1;
  }
  return 0;
}

// Longest dividend of remainder(): a full big number and the one word more
// that R^2 needs for the largest Montgomery modulus.
constexpr uint32_t kMaxDividendWords = kBigNumCapacity + 1;

// r = u mod v (Knuth's algorithm D). v has nv > 0 words with v[nv - 1] != 0;
// r receives nv words; nv <= nu <= kMaxDividendWords.
void remainder(const uint32_t* u, uint32_t nu, const uint32_t* v, uint32_t nv, uint32_t* r);

}  // namespace zelkit::detail::words
