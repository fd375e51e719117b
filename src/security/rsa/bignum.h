#pragma once

#include <cstdint>

// Fixed-capacity unsigned integers for RSA: no heap, every number lives in
// its owner's record or on the stack.
namespace zelkit::detail {

// Values loaded from bytes hold at most 528 bytes (132 words); the capacity
// holds the product of two such values, so a 4096-bit modulus can be
// squared without overflow.
constexpr int kBigNumMaxBytes = 528;
constexpr uint32_t kBigNumLoadWords = kBigNumMaxBytes / 4;
constexpr uint32_t kBigNumCapacity = 2 * kBigNumLoadWords;

struct BigNum {
  int32_t bits;    // authoritative size: (bits + 31) / 32 words are in use
  uint32_t words;  // words the value was last laid out in; may exceed those in use
  uint32_t word[kBigNumCapacity];  // least significant first
};

inline uint32_t bigNumWordsInUse(const BigNum* a) { return (static_cast<uint32_t>(a->bits) + 31) / 32; }

// 0, or -1 when a non-zero byte lies beyond the 528 least significant
// (out is then zero).
int bigNumFromBytes(BigNum* out, const uint8_t* bytes, int32_t length, bool bigEndian);
// Zeroes out[0..size). Little-endian: the value's bytes at the start,
// returns their count; big-endian: right-aligned, returns size. -1 when the
// value does not fit.
int bigNumToBytes(uint8_t* out, const BigNum* a, int32_t size, bool bigEndian);
void bigNumSetZero(BigNum* a);
void bigNumSetWord(BigNum* a, uint32_t value);
// Recomputes bits from the first `words` words; returns bits.
int bigNumNormalize(BigNum* a);
void bigNumCopy(BigNum* dst, const BigNum* src);
void bigNumGrow(BigNum* a, uint32_t words);
int bigNumFromWords(BigNum* a, const uint32_t* w, uint32_t count);
// 1, 0 or -1.
int bigNumCompare(const BigNum* a, const BigNum* b);
bool bigNumTestBit(const BigNum* a, int32_t i);

// out may alias an operand in all of the arithmetic below.
// out = a - b; returns the final borrow (0 when a >= b).
uint32_t bigNumSubtract(const BigNum* a, const BigNum* b, BigNum* out);
// out = a + b; 0, or -1 when the sum does not fit.
int bigNumAdd(const BigNum* a, const BigNum* b, BigNum* out);
// out = a * 2^n; 0, or -1 when the result does not fit (out unchanged).
int bigNumShiftLeft(BigNum* out, const BigNum* a, int32_t n);
// out = a * b; 0, or -1 when the product does not fit (out unchanged).
int bigNumMultiply(const BigNum* a, const BigNum* b, BigNum* out);
// out = a mod m; -2 when m is zero (out unchanged), else 0.
int bigNumMod(const BigNum* a, const BigNum* m, BigNum* out);
// out = base^exponent mod modulus; 0, -2 when the modulus is zero, -1 when
// it is longer than 528 bytes.
// For odd moduli the sequence of operations depends only on the exponent's
// length, not on its bits.
int bigNumModExp(const BigNum* base, const BigNum* exponent, const BigNum* modulus, BigNum* out);
// out = a^-1 mod m for odd m; -1 when a has no inverse (or m is even).
int bigNumModInverse(const BigNum* a, const BigNum* m, BigNum* out);

}  // namespace zelkit::detail
