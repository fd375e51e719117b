#include "security/cipher/aes_blocks.h"

#include "platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// The AES rounds in the processor's AES instructions: several times the
// speed of the round tables, and no table look-ups whose timing could
// follow the key.
namespace zelkit::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

#define ZELKIT_AES_TARGET __attribute__((target("aes,ssse3")))

// The round keys as the instructions take them: each big-endian word of
// the schedule turned into its four bytes in order.
ZELKIT_AES_TARGET inline __m128i roundKey(const uint32_t* words) {
  const __m128i byteOrder = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)), byteOrder);
}

}  // namespace

bool aesInstructionsAvailable() {
  return platform::cpuHasAesInstructions();
}

ZELKIT_AES_TARGET void aesInstructionsEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count) {
  __m128i keys[11];
  for (int round = 0; round < 11; ++round) keys[round] = roundKey(roundKeys + 4 * round);
  for (uint32_t i = 0; i < count; ++i, blocks += 16) {
    __m128i state = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks)), keys[0]);
    for (int round = 1; round < 10; ++round) state = _mm_aesenc_si128(state, keys[round]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(blocks), _mm_aesenclast_si128(state, keys[10]));
  }
}

// The decryption schedule already holds InvMixColumns of round keys 1 to 9,
// as the decryption instruction expects them; they are taken from 10 down.
ZELKIT_AES_TARGET void aesInstructionsDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count) {
  __m128i keys[11];
  for (int round = 0; round < 11; ++round) keys[round] = roundKey(roundKeys + 4 * round);
  for (uint32_t i = 0; i < count; ++i, blocks += 16) {
    __m128i state = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks)), keys[10]);
    for (int round = 9; round > 0; --round) state = _mm_aesdec_si128(state, keys[round]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(blocks), _mm_aesdeclast_si128(state, keys[0]));
  }
}

#else

bool aesInstructionsAvailable() { return false; }
void aesInstructionsEncrypt(const uint32_t*, uint8_t*, uint32_t) {}
void aesInstructionsDecrypt(const uint32_t*, uint8_t*, uint32_t) {}

#endif

}  // namespace zelkit::detail
