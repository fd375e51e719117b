#include <algorithm>

#include "security/bignum.h"
#include "security/bignum_words.h"

// Modular exponentiation. Odd moduli (every RSA modulus) use Montgomery
// multiplication with a fixed 4-bit window: every window costs the same
// squarings and one multiplication, the table entry is read by scanning the
// whole table, and the final subtraction is a masked select, so neither the
// time nor the memory access pattern follows the exponent's bits.
namespace zelkit::detail {

namespace {

constexpr uint32_t kMaxModulusWords = kBigNumLoadWords;
constexpr int kWindowBits = 4;
constexpr uint32_t kTableSize = 1u << kWindowBits;

struct Montgomery {
  const uint32_t* n;
  uint32_t length;
  uint32_t n0;  // -n^-1 mod 2^32
};

uint32_t negativeInverse(uint32_t n0) {
  uint32_t inverse = n0;  // correct to 3 bits for odd n0; each step doubles that
  for (int i = 0; i < 4; ++i) inverse *= 2 - n0 * inverse;
  return 0u - inverse;
}

// r = a * b / 2^(32 * length) mod n, for a, b < n. r may alias a or b.
void multiply(const Montgomery& m, const uint32_t* a, const uint32_t* b, uint32_t* r) {
  const uint32_t length = m.length;
  uint32_t t[kMaxModulusWords + 1] = {};
  for (uint32_t i = 0; i < length; ++i) {
    const uint64_t bi = b[i];
    uint64_t x = a[0] * bi + t[0];
    const uint64_t q = static_cast<uint32_t>(x) * m.n0;
    uint64_t y = q * m.n[0] + static_cast<uint32_t>(x);  // low word is zero by the choice of q
    uint64_t carryX = x >> 32;
    uint64_t carryY = y >> 32;
    for (uint32_t j = 1; j < length; ++j) {
      x = a[j] * bi + t[j] + carryX;
      carryX = x >> 32;
      y = q * m.n[j] + static_cast<uint32_t>(x) + carryY;
      carryY = y >> 32;
      t[j - 1] = static_cast<uint32_t>(y);
    }
    x = t[length] + carryX + carryY;
    t[length - 1] = static_cast<uint32_t>(x);
    t[length] = static_cast<uint32_t>(x >> 32);
  }
  // t < 2n: subtract n once when t >= n, selecting by mask.
  uint32_t d[kMaxModulusWords];
  const uint32_t borrow = words::subtract(d, t, m.n, length);
  const uint32_t mask = 0u - (t[length] | (borrow ^ 1));
  for (uint32_t i = 0; i < length; ++i) r[i] = (d[i] & mask) | (t[i] & ~mask);
}

// Copies table entry `index` to out, touching every entry.
void selectEntry(const uint32_t (*table)[kMaxModulusWords], uint32_t length, uint32_t index, uint32_t* out) {
  std::fill(out, out + length, 0u);
  for (uint32_t k = 0; k < kTableSize; ++k) {
    const uint32_t mask = 0u - (((k ^ index) - 1u) >> 31);
    for (uint32_t i = 0; i < length; ++i) out[i] |= table[k][i] & mask;
  }
}

uint32_t window(const BigNum* exponent, int32_t lowBit) {
  uint32_t value = 0;
  for (int b = kWindowBits - 1; b >= 0; --b) value = (value << 1) | (bigNumTestBit(exponent, lowBit + b) ? 1 : 0);
  return value;
}

void montgomeryModExp(const BigNum* base, const BigNum* exponent, const BigNum* modulus, BigNum* out) {
  const uint32_t length = bigNumWordsInUse(modulus);
  const Montgomery m{modulus->word, length, negativeInverse(modulus->word[0])};

  // R^2 mod n, with R = 2^(32 * length), turns values into Montgomery form.
  uint32_t rSquared[kMaxModulusWords];
  {
    uint32_t power[words::kMaxDividendWords] = {};
    power[2 * length] = 1;
    words::remainder(power, 2 * length + 1, modulus->word, length, rSquared);
  }

  uint32_t table[kTableSize][kMaxModulusWords] = {};
  uint32_t one[kMaxModulusWords] = {1};
  multiply(m, one, rSquared, table[0]);
  BigNum reduced;
  bigNumMod(base, modulus, &reduced);
  std::copy(reduced.word, reduced.word + bigNumWordsInUse(&reduced), table[1]);
  multiply(m, table[1], rSquared, table[1]);
  for (uint32_t k = 2; k < kTableSize; ++k) multiply(m, table[k - 1], table[1], table[k]);

  const int32_t windows = (exponent->bits + kWindowBits - 1) / kWindowBits;
  uint32_t accumulator[kMaxModulusWords];
  uint32_t factor[kMaxModulusWords];
  selectEntry(table, length, window(exponent, (windows - 1) * kWindowBits), accumulator);
  for (int32_t w = windows - 2; w >= 0; --w) {
    for (int s = 0; s < kWindowBits; ++s) multiply(m, accumulator, accumulator, accumulator);
    selectEntry(table, length, window(exponent, w * kWindowBits), factor);
    multiply(m, accumulator, factor, accumulator);
  }
  multiply(m, accumulator, one, accumulator);
  bigNumFromWords(out, accumulator, length);
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
