#pragma once

// The pieces of AES in the processor's AES instructions that the cipher
// and the stitched TLS record sealing share. Only for x86 builds; the
// callers check for the instructions at run time.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstdint>

namespace zelkit::detail {

#define ZELKIT_AES_TARGET __attribute__((target("aes,ssse3")))

// The round keys as the instructions take them: each big-endian word of
// the schedule turned into its four bytes in order.
ZELKIT_AES_TARGET inline __m128i roundKey(const uint32_t* words) {
  const __m128i byteOrder = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)), byteOrder);
}

// All eleven round keys, loaded once per call and kept in registers.
struct RoundKeys {
  __m128i key[11];
  ZELKIT_AES_TARGET explicit RoundKeys(const uint32_t* words) {
    for (int round = 0; round < 11; ++round) key[round] = roundKey(words + 4 * round);
  }
};

ZELKIT_AES_TARGET inline __m128i loadBlock(const uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

ZELKIT_AES_TARGET inline void storeBlock(uint8_t* bytes, __m128i value) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), value);
}

// Rounds 1 to 9, unrolled so that the keys stay in registers.
ZELKIT_AES_TARGET inline __m128i middleRounds(const RoundKeys& keys, __m128i state) {
#pragma GCC unroll 9
  for (int round = 1; round < 10; ++round) state = _mm_aesenc_si128(state, keys.key[round]);
  return state;
}

}  // namespace zelkit::detail

#endif
