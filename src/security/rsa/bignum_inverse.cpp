#include <algorithm>

#include "security/rsa/bignum.h"
#include "security/rsa/bignum_words.h"

// Modular inverse by the binary extended Euclidean algorithm. It is used on
// random blinding values only, so its data-dependent running time reveals
// nothing about a key.
namespace zelkit::detail {

namespace {

// Values below 2m, one word longer than the modulus.
constexpr uint32_t kMaxWords = kBigNumLoadWords + 1;

struct Residue {
  uint32_t w[kMaxWords];
};

bool isEven(const Residue& a) { return (a.w[0] & 1) == 0; }

bool isWord(const Residue& a, uint32_t value, uint32_t n) {
  if (a.w[0] != value) return false;
  for (uint32_t i = 1; i < n; ++i) {
    if (a.w[i] != 0) return false;
  }
  return true;
}

void halve(Residue& a, uint32_t n) {
  for (uint32_t i = 0; i + 1 < n; ++i) a.w[i] = (a.w[i] >> 1) | (a.w[i + 1] << 31);
  a.w[n - 1] >>= 1;
}

// u /= 2 while even, keeping x * a == u (mod m) by halving x mod m.
void removeTwos(Residue& u, Residue& x, const Residue& m, uint32_t n) {
  while (isEven(u)) {
    halve(u, n);
    if (!isEven(x)) words::add(x.w, x.w, m.w, n);
    halve(x, n);
  }
}

// x = x - y mod m, both below m.
void subtractMod(Residue& x, const Residue& y, const Residue& m, uint32_t n) {
  if (words::subtract(x.w, x.w, y.w, n) != 0) words::add(x.w, x.w, m.w, n);
}

}  // namespace

int bigNumModInverse(const BigNum* a, const BigNum* m, BigNum* out) {
  const uint32_t length = bigNumWordsInUse(m);
  if (length == 0 || length >= kMaxWords || (m->word[0] & 1) == 0) return -1;
  const uint32_t n = length + 1;
  BigNum reduced;
  bigNumMod(a, m, &reduced);

  Residue modulus = {};
  Residue u = {};
  Residue v = {};
  Residue x1 = {};
  Residue x2 = {};
  std::copy(m->word, m->word + length, modulus.w);
  std::copy(reduced.word, reduced.word + bigNumWordsInUse(&reduced), u.w);
  v = modulus;
  x1.w[0] = 1;
  // Invariants: x1 * a == u and x2 * a == v (mod m).
  while (!isWord(u, 1, n) && !isWord(v, 1, n)) {
    if (isWord(u, 0, n)) return -1;  // gcd(a, m) > 1
    removeTwos(u, x1, modulus, n);
    removeTwos(v, x2, modulus, n);
    if (words::compare(u.w, v.w, n) >= 0) {
      words::subtract(u.w, u.w, v.w, n);
      subtractMod(x1, x2, modulus, n);
    } else {
      words::subtract(v.w, v.w, u.w, n);
      subtractMod(x2, x1, modulus, n);
    }
  }
  const Residue& inverse = isWord(u, 1, n) ? x1 : x2;
  bigNumFromWords(out, inverse.w, length);
  return 0;
}

}  // namespace zelkit::detail
