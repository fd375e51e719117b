#include <algorithm>

#include "security/rsa/bignum.h"
#include "security/rsa/bignum_words.h"

// Modular exponentiation. Odd moduli (every RSA modulus) use Montgomery
// multiplication with a fixed 4-bit window: every window costs the same
// squarings and one multiplication, the table entry is read by scanning the
// whole table, and the final subtraction is a masked select, so neither the
// time nor the memory access pattern follows the exponent's bits.
namespace zelkit::detail {

namespace {

// Limbs of the widest multiplication the compiler offers: 64 bits where a
// 128-bit product exists, else 32.
#if defined(__SIZEOF_INT128__)
using Limb = uint64_t;
using Wide = unsigned __int128;
#else
using Limb = uint32_t;
using Wide = uint64_t;
#endif
constexpr int kLimbBits = 8 * sizeof(Limb);

// GCC unrolls the fixed-length loops below only when asked; clang does on
// its own and warns about hints it cannot follow.
#if defined(__clang__)
#define ZELKIT_UNROLL(count)
#else
#define ZELKIT_PRAGMA(text) _Pragma(#text)
#define ZELKIT_UNROLL(count) ZELKIT_PRAGMA(GCC unroll count)
#endif
constexpr uint32_t kWordsPerLimb = sizeof(Limb) / sizeof(uint32_t);
constexpr uint32_t kMaxModulusWords = kBigNumLoadWords;
constexpr uint32_t kMaxLimbs = (kMaxModulusWords + kWordsPerLimb - 1) / kWordsPerLimb;
constexpr int kWindowBits = 4;
constexpr uint32_t kTableSize = 1u << kWindowBits;

struct Montgomery {
  Limb n[kMaxLimbs];
  uint32_t length;  // limbs
  Limb n0;          // -n^-1 mod 2^kLimbBits
};

void toLimbs(const uint32_t* w, uint32_t count, Limb* out, uint32_t limbs) {
  std::fill(out, out + limbs, Limb{0});
  for (uint32_t i = 0; i < count; ++i) out[i / kWordsPerLimb] |= Limb{w[i]} << (32 * (i % kWordsPerLimb));
}

void toWords(const Limb* limbs, uint32_t count, uint32_t* out) {
  for (uint32_t i = 0; i < count * kWordsPerLimb; ++i) {
    out[i] = static_cast<uint32_t>(limbs[i / kWordsPerLimb] >> (32 * (i % kWordsPerLimb)));
  }
}

Limb negativeInverse(Limb n0) {
  Limb inverse = n0;  // correct to 3 bits for odd n0; each step doubles that
  for (int i = 0; i < 5; ++i) inverse *= 2 - n0 * inverse;
  return Limb{0} - inverse;
}

// Column sums of the product scanning below: a double-limb low part and
// the carries above it.
struct Accumulator {
  Wide low;
  Limb high;
};

inline void addProduct(Accumulator& sum, Limb a, Limb b) {
  const Wide product = Wide{a} * b;
  sum.low += product;
  sum.high += sum.low < product ? 1 : 0;
}

// Twice the sum, for the products a square holds twice.
inline void addTwice(Accumulator& sum, const Accumulator& part) {
  const Wide low = part.low << 1;
  const Limb high = (part.high << 1) | static_cast<Limb>(part.low >> (2 * kLimbBits - 1));
  sum.low += low;
  sum.high += high + (sum.low < low ? 1 : 0);
}

// The finished column's limb; the sum moves down one limb.
inline Limb shiftOut(Accumulator& sum) {
  const Limb out = static_cast<Limb>(sum.low);
  sum.low = (sum.low >> kLimbBits) | (Wide{sum.high} << kLimbBits);
  sum.high = 0;
  return out;
}

// r = t - n when t (with the limb `top` above it) is at least n, else t;
// selected by mask, not by a branch.
template <uint32_t kLength>
inline void subtractOnce(const Montgomery& m, const Limb* t, Limb top, Limb* r) {
  const uint32_t length = kLength != 0 ? kLength : m.length;
  Limb d[kMaxLimbs];
  Limb borrow = 0;
  ZELKIT_UNROLL(32)
  for (uint32_t i = 0; i < length; ++i) {
    const Wide difference = Wide{t[i]} - m.n[i] - borrow;
    d[i] = static_cast<Limb>(difference);
    borrow = static_cast<Limb>(difference >> kLimbBits) & 1;
  }
  const Limb mask = Limb{0} - (top | (borrow ^ 1));
  ZELKIT_UNROLL(32)
  for (uint32_t i = 0; i < length; ++i) r[i] = (d[i] & mask) | (t[i] & ~mask);
}

// Montgomery multiplication by product scanning: column i of a * b and of
// q * n are summed together, and q's limb i is chosen so that the column's
// low limb becomes zero. Fixed lengths (kLength != 0) are unrolled by the
// compiler; 0 takes the length from m.
template <uint32_t kLength>
void multiplyColumns(const Montgomery& m, const Limb* a, const Limb* b, Limb* r) {
  const uint32_t length = kLength != 0 ? kLength : m.length;
  Limb q[kMaxLimbs];
  Limb t[kMaxLimbs];
  Accumulator sum{0, 0};
  ZELKIT_UNROLL(32)
  for (uint32_t i = 0; i < length; ++i) {
    ZELKIT_UNROLL(32)
    for (uint32_t j = 0; j < i; ++j) {
      addProduct(sum, a[j], b[i - j]);
      addProduct(sum, q[j], m.n[i - j]);
    }
    addProduct(sum, a[i], b[0]);
    q[i] = static_cast<Limb>(sum.low) * m.n0;
    addProduct(sum, q[i], m.n[0]);
    shiftOut(sum);
  }
  ZELKIT_UNROLL(32)
  for (uint32_t i = length; i < 2 * length; ++i) {
    ZELKIT_UNROLL(32)
    for (uint32_t j = i - length + 1; j < length; ++j) {
      addProduct(sum, a[j], b[i - j]);
      addProduct(sum, q[j], m.n[i - j]);
    }
    t[i - length] = shiftOut(sum);
  }
  subtractOnce<kLength>(m, t, static_cast<Limb>(sum.low), r);
}

// The same for a * a: each product a[j] * a[i - j] with j != i - j is
// computed once and counted twice.
template <uint32_t kLength>
void squareColumns(const Montgomery& m, const Limb* a, Limb* r) {
  const uint32_t length = kLength != 0 ? kLength : m.length;
  Limb q[kMaxLimbs];
  Limb t[kMaxLimbs];
  Accumulator sum{0, 0};
  ZELKIT_UNROLL(64)
  for (uint32_t i = 0; i < 2 * length - 1; ++i) {
    Accumulator pairs{0, 0};
    const uint32_t first = i < length ? 0 : i - length + 1;
    ZELKIT_UNROLL(32)
    for (uint32_t j = first; j < i - j; ++j) addProduct(pairs, a[j], a[i - j]);
    addTwice(sum, pairs);
    if ((i & 1) == 0) addProduct(sum, a[i / 2], a[i / 2]);
    if (i < length) {
      ZELKIT_UNROLL(32)
      for (uint32_t j = 0; j < i; ++j) addProduct(sum, q[j], m.n[i - j]);
      q[i] = static_cast<Limb>(sum.low) * m.n0;
      addProduct(sum, q[i], m.n[0]);
      shiftOut(sum);
    } else {
      ZELKIT_UNROLL(32)
      for (uint32_t j = i - length + 1; j < length; ++j) addProduct(sum, q[j], m.n[i - j]);
      t[i - length] = shiftOut(sum);
    }
  }
  t[length - 1] = shiftOut(sum);
  subtractOnce<kLength>(m, t, static_cast<Limb>(sum.low), r);
}

// The halves of a 2048-bit key, whose private operation the TLS server
// runs for every new session, get the unrolled code.
constexpr uint32_t kUnrolledLimbs = 1024 / kLimbBits;

// r = a * b / R mod n, for a, b < n. r may alias a or b.
void multiply(const Montgomery& m, const Limb* a, const Limb* b, Limb* r) {
  if (m.length == kUnrolledLimbs) {
    multiplyColumns<kUnrolledLimbs>(m, a, b, r);
  } else {
    multiplyColumns<0>(m, a, b, r);
  }
}

// Copies table entry `index` to out, touching every entry.
template <uint32_t kLength>
void selectEntry(const Limb (*table)[kMaxLimbs], uint32_t length, uint32_t index, Limb* out) {
  if constexpr (kLength != 0) length = kLength;
  std::fill(out, out + length, Limb{0});
  for (uint32_t k = 0; k < kTableSize; ++k) {
    const Limb mask = Limb{0} - (((k ^ index) - 1u) >> 31);
    ZELKIT_UNROLL(32)
    for (uint32_t i = 0; i < length; ++i) out[i] |= table[k][i] & mask;
  }
}

uint32_t window(const BigNum* exponent, int32_t lowBit) {
  uint32_t value = 0;
  for (int b = kWindowBits - 1; b >= 0; --b) value = (value << 1) | (bigNumTestBit(exponent, lowBit + b) ? 1 : 0);
  return value;
}

// accumulator = table[1]^exponent, a window of kWindowBits at a time from
// the top: the same squarings and one multiplication for every window.
template <uint32_t kLength>
void raiseByWindows(const Montgomery& m, const Limb (*table)[kMaxLimbs], const BigNum* exponent, Limb* accumulator) {
  const int32_t windows = (exponent->bits + kWindowBits - 1) / kWindowBits;
  Limb factor[kMaxLimbs];
  selectEntry<kLength>(table, m.length, window(exponent, (windows - 1) * kWindowBits), accumulator);
  for (int32_t w = windows - 2; w >= 0; --w) {
    for (int s = 0; s < kWindowBits; ++s) squareColumns<kLength>(m, accumulator, accumulator);
    selectEntry<kLength>(table, m.length, window(exponent, w * kWindowBits), factor);
    multiplyColumns<kLength>(m, accumulator, factor, accumulator);
  }
}

void montgomeryModExp(const BigNum* base, const BigNum* exponent, const BigNum* modulus, BigNum* out) {
  const uint32_t words = bigNumWordsInUse(modulus);
  Montgomery m;
  m.length = (words + kWordsPerLimb - 1) / kWordsPerLimb;
  toLimbs(modulus->word, words, m.n, m.length);
  m.n0 = negativeInverse(m.n[0]);

  // R^2 mod n, with R = 2^(kLimbBits * length), turns values into Montgomery form.
  Limb rSquared[kMaxLimbs];
  {
    const uint32_t rWords = m.length * kWordsPerLimb;
    uint32_t power[words::kMaxDividendWords] = {};
    uint32_t remainder[kMaxModulusWords + 1];
    power[2 * rWords] = 1;
    words::remainder(power, 2 * rWords + 1, modulus->word, words, remainder);
    toLimbs(remainder, words, rSquared, m.length);
  }

  Limb table[kTableSize][kMaxLimbs] = {};
  Limb one[kMaxLimbs] = {1};
  multiply(m, one, rSquared, table[0]);
  BigNum reduced;
  bigNumMod(base, modulus, &reduced);
  toLimbs(reduced.word, bigNumWordsInUse(&reduced), table[1], m.length);
  multiply(m, table[1], rSquared, table[1]);
  for (uint32_t k = 2; k < kTableSize; ++k) multiply(m, table[k - 1], table[1], table[k]);

  Limb accumulator[kMaxLimbs];
  if (m.length == kUnrolledLimbs) {
    raiseByWindows<kUnrolledLimbs>(m, table, exponent, accumulator);
  } else {
    raiseByWindows<0>(m, table, exponent, accumulator);
  }
  multiply(m, accumulator, one, accumulator);
  uint32_t result[kMaxLimbs * kWordsPerLimb];
  toWords(accumulator, m.length, result);
  bigNumFromWords(out, result, words);
}

// Right-to-left square and multiply for even moduli (never an RSA key).
int plainModExp(const BigNum* base, const BigNum* exponent, const BigNum* modulus, BigNum* out) {
  BigNum result;
  BigNum power;
  bigNumSetWord(&result, 1);
  bigNumMod(base, modulus, &power);
  for (int32_t i = 0; i < exponent->bits; ++i) {
    if (bigNumTestBit(exponent, i)) {
      bigNumMultiply(&result, &power, &result);
      bigNumMod(&result, modulus, &result);
    }
    bigNumMultiply(&power, &power, &power);
    bigNumMod(&power, modulus, &power);
  }
  bigNumCopy(out, &result);
  return 0;
}

}  // namespace

int bigNumModExp(const BigNum* base, const BigNum* exponent, const BigNum* modulus, BigNum* out) {
  if (modulus->bits == 0) return -2;
  if (bigNumWordsInUse(modulus) > kMaxModulusWords) return -1;
  if (exponent->bits == 0) {
    bigNumSetWord(out, 1);
    return 0;
  }
  if ((modulus->word[0] & 1) == 0) return plainModExp(base, exponent, modulus, out);
  montgomeryModExp(base, exponent, modulus, out);
  return 0;
}

}  // namespace zelkit::detail
