#include "security/rsa/bignum.h"

#include <algorithm>
#include <cstring>

#include "security/rsa/bignum_words.h"

namespace zelkit::detail {

namespace {

int bitLength(uint32_t w) { return w == 0 ? 0 : 32 - __builtin_clz(w); }

// Lays the value out in exactly `count` words (the high ones already zero
// or about to be written) and recomputes bits.
void setUsed(BigNum* a, uint32_t count) {
  a->words = count;
  bigNumNormalize(a);
}

// Copies a's words in use to out and zero-fills up to n words (n is at
// least the words in use).
void widen(const BigNum* a, uint32_t n, uint32_t* out) {
  const uint32_t used = bigNumWordsInUse(a);
  std::copy(a->word, a->word + used, out);
  std::fill(out + used, out + n, 0u);
}

}  // namespace

int bigNumFromBytes(BigNum* out, const uint8_t* bytes, int32_t length, bool bigEndian) {
  std::memset(out, 0, sizeof(*out));
  out->words = kBigNumLoadWords;
  for (int32_t i = 0; i < length; ++i) {
    const uint8_t byte = bytes[i];
    if (byte == 0) continue;
    const int32_t significance = bigEndian ? length - 1 - i : i;
    if (significance >= kBigNumMaxBytes) {
      std::memset(out, 0, sizeof(*out));
      out->words = kBigNumLoadWords;
      return -1;
    }
    out->word[significance / 4] |= static_cast<uint32_t>(byte) << (8 * (significance % 4));
  }
  bigNumNormalize(out);
  return 0;
}

int bigNumToBytes(uint8_t* out, const BigNum* a, int32_t size, bool bigEndian) {
  if (size < 0) return -1;
  if (size > 0) std::memset(out, 0, static_cast<size_t>(size));
  const int32_t n = (a->bits + 7) / 8;
  if (n > size) return -1;
  for (int32_t i = 0; i < n; ++i) {
    const auto byte = static_cast<uint8_t>(a->word[i / 4] >> (8 * (i % 4)));
    out[bigEndian ? size - 1 - i : i] = byte;
  }
  return bigEndian ? size : n;
}

void bigNumSetZero(BigNum* a) {
  a->bits = 0;
  a->words = 1;
  a->word[0] = 0;
}

void bigNumSetWord(BigNum* a, uint32_t value) {
  bigNumSetZero(a);
  a->word[0] = value;
  bigNumNormalize(a);
}

int bigNumNormalize(BigNum* a) {
  const uint32_t n = words::used(a->word, std::min(a->words, kBigNumCapacity));
  a->bits = n == 0 ? 0 : static_cast<int32_t>(32 * (n - 1)) + bitLength(a->word[n - 1]);
  return a->bits;
}

void bigNumCopy(BigNum* dst, const BigNum* src) {
  const uint32_t n = bigNumWordsInUse(src);
  std::memmove(dst->word, src->word, n * sizeof(uint32_t));
  dst->bits = src->bits;
  dst->words = n;
}

void bigNumGrow(BigNum* a, uint32_t words) {
  words = std::min(words, kBigNumCapacity);
  if (a->words >= words) return;
  std::fill(a->word + a->words, a->word + words, 0u);
  a->words = words;
}

int bigNumFromWords(BigNum* a, const uint32_t* w, uint32_t count) {
  count = std::min(count, kBigNumCapacity);
  std::memmove(a->word, w, count * sizeof(uint32_t));
  setUsed(a, count);
  return 0;
}

int bigNumCompare(const BigNum* a, const BigNum* b) {
  if (a->bits != b->bits) return a->bits > b->bits ? 1 : -1;
  return words::compare(a->word, b->word, bigNumWordsInUse(a));
}

bool bigNumTestBit(const BigNum* a, int32_t i) {
  if (i < 0 || i >= a->bits) return false;
  return (a->word[i / 32] >> (i % 32)) & 1;
}

uint32_t bigNumSubtract(const BigNum* a, const BigNum* b, BigNum* out) {
  const uint32_t n = std::max(bigNumWordsInUse(a), bigNumWordsInUse(b));
  uint32_t x[kBigNumCapacity];
  uint32_t y[kBigNumCapacity];
  widen(a, n, x);
  widen(b, n, y);
  const uint32_t borrow = words::subtract(out->word, x, y, n);
  setUsed(out, n);
  return borrow;
}

int bigNumAdd(const BigNum* a, const BigNum* b, BigNum* out) {
  const uint32_t n = std::max(bigNumWordsInUse(a), bigNumWordsInUse(b));
  uint32_t x[kBigNumCapacity + 1];
  uint32_t y[kBigNumCapacity];
  widen(a, n, x);
  widen(b, n, y);
  x[n] = words::add(x, x, y, n);
  const uint32_t total = x[n] != 0 ? n + 1 : n;
  if (total > kBigNumCapacity) return -1;
  std::copy(x, x + total, out->word);
  setUsed(out, total);
  return 0;
}

int bigNumShiftLeft(BigNum* out, const BigNum* a, int32_t n) {
  if (a->bits == 0 || n <= 0) {
    bigNumCopy(out, a);
    return 0;
  }
  if (static_cast<int64_t>(a->bits) + n > static_cast<int64_t>(32 * kBigNumCapacity)) return -1;
  const uint32_t na = bigNumWordsInUse(a);
  const uint32_t wordShift = static_cast<uint32_t>(n) / 32;
  const uint32_t bitShift = static_cast<uint32_t>(n) % 32;
  const uint32_t total = (static_cast<uint32_t>(a->bits + n) + 31) / 32;
  // From the top down, so that out may be a.
  for (uint32_t i = total; i-- > 0;) {
    uint32_t w = 0;
    if (i >= wordShift) {
      const uint32_t source = i - wordShift;
      if (source < na) w = a->word[source] << bitShift;
      if (bitShift != 0 && source >= 1) w |= a->word[source - 1] >> (32 - bitShift);
    }
    out->word[i] = w;
  }
  setUsed(out, total);
  return 0;
}

int bigNumMultiply(const BigNum* a, const BigNum* b, BigNum* out) {
  const uint32_t na = bigNumWordsInUse(a);
  const uint32_t nb = bigNumWordsInUse(b);
  if (na == 0 || nb == 0) {
    bigNumSetZero(out);
    return 0;
  }
  if (na + nb > kBigNumCapacity) return -1;
  uint32_t product[kBigNumCapacity] = {};
  for (uint32_t j = 0; j < nb; ++j) {
    uint64_t carry = 0;
    const uint64_t bj = b->word[j];
    for (uint32_t i = 0; i < na; ++i) {
      const uint64_t t = a->word[i] * bj + product[i + j] + carry;
      product[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    product[na + j] = static_cast<uint32_t>(carry);
  }
  std::copy(product, product + na + nb, out->word);
  setUsed(out, na + nb);
  return 0;
}

int bigNumMod(const BigNum* a, const BigNum* m, BigNum* out) {
  if (m->bits == 0) return -2;
  if (bigNumCompare(a, m) < 0) {
    bigNumCopy(out, a);
    return 0;
  }
  const uint32_t nm = bigNumWordsInUse(m);
  uint32_t r[kBigNumCapacity];
  words::remainder(a->word, bigNumWordsInUse(a), m->word, nm, r);
  std::copy(r, r + nm, out->word);
  setUsed(out, nm);
  return 0;
}

}  // namespace zelkit::detail
