#include "security/hash/sha1_blocks.h"

#include <utility>

#include "platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// SHA-1 in the processor's SHA instructions: four rounds per instruction
// and the message schedule in two more, several times the speed of the
// plain code, which the record MACs of the TLS engine feel most.
namespace zelkit::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

#define ZELKIT_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Rounds 4g to 4g + 3. The two E registers take turns; message words are
// loaded in the first four groups and extended as later groups need them.
template <int G>
ZELKIT_SHA_TARGET inline void roundGroup(__m128i& abcd, __m128i e[2], __m128i message[4], const uint8_t* block,
                                         __m128i byteOrder) {
  if constexpr (G < 4) {
    message[G] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * G)), byteOrder);
  }
  __m128i& current = e[G % 2];
  if constexpr (G == 0) {
    current = _mm_add_epi32(current, message[0]);
  } else {
    current = _mm_sha1nexte_epu32(current, message[G % 4]);
  }
  e[(G + 1) % 2] = abcd;
  if constexpr (G >= 3 && G <= 18) message[(G + 1) % 4] = _mm_sha1msg2_epu32(message[(G + 1) % 4], message[G % 4]);
  abcd = _mm_sha1rnds4_epu32(abcd, current, G / 5);
  if constexpr (G >= 1 && G <= 16) message[(G + 3) % 4] = _mm_sha1msg1_epu32(message[(G + 3) % 4], message[G % 4]);
  if constexpr (G >= 2 && G <= 17) message[(G + 2) % 4] = _mm_xor_si128(message[(G + 2) % 4], message[G % 4]);
}

template <int... G>
ZELKIT_SHA_TARGET inline void allRounds(__m128i& abcd, __m128i e[2], __m128i message[4], const uint8_t* block,
                                        __m128i byteOrder, std::integer_sequence<int, G...>) {
  (roundGroup<G>(abcd, e, message, block, byteOrder), ...);
}

}  // namespace

bool sha1InstructionsAvailable() {
  return platform::cpuHasShaInstructions();
}

ZELKIT_SHA_TARGET void sha1InstructionsBlocks(uint32_t hash[5], const uint8_t* blocks, uint32_t count) {
  const __m128i byteOrder = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  // A in the top lane, as the round instruction wants it.
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(hash[4]), 0, 0, 0);
  for (uint32_t i = 0; i < count; ++i, blocks += 64) {
    const __m128i savedAbcd = abcd;
    const __m128i savedE = e0;
    __m128i e[2] = {e0, _mm_setzero_si128()};
    __m128i message[4];
    allRounds(abcd, e, message, blocks, byteOrder, std::make_integer_sequence<int, 20>{});
    e0 = _mm_sha1nexte_epu32(e[0], savedE);
    abcd = _mm_add_epi32(abcd, savedAbcd);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hash), _mm_shuffle_epi32(abcd, 0x1B));
  hash[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#else

bool sha1InstructionsAvailable() { return false; }
void sha1InstructionsBlocks(uint32_t*, const uint8_t*, uint32_t) {}

#endif

}  // namespace zelkit::detail
