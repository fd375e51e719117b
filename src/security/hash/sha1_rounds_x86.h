#pragma once

// SHA-1 compression in the processor's SHA instructions, shared by the hash
// and the stitched TLS record sealing, which runs other work between the
// round groups of each block. Only for x86 builds; the callers check for the
// instructions at run time. A file that mixes other instructions into the
// rounds defines ZELKIT_SHA_TARGET with them before it includes this, so that
// the hook inlines; the functions are private to each file that does.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstdint>
#include <utility>

#ifndef ZELKIT_SHA_TARGET
#define ZELKIT_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif
#define ZELKIT_SHA_INLINE inline __attribute__((always_inline)) ZELKIT_SHA_TARGET

namespace zelkit::detail {
namespace {

// Rounds 4g to 4g + 3. The two E registers take turns; message words are
// loaded in the first four groups and extended as later groups need them.
template <int G>
ZELKIT_SHA_INLINE void roundGroup(__m128i& abcd, __m128i e[2], __m128i message[4], const uint8_t* block,
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

template <class Between, int... G>
ZELKIT_SHA_INLINE void allRounds(__m128i& abcd, __m128i e[2], __m128i message[4], const uint8_t* block,
                                        __m128i byteOrder, Between& between, std::integer_sequence<int, G...>) {
  ((roundGroup<G>(abcd, e, message, block, byteOrder), between.template afterGroup<G>()), ...);
}

// A hook that does nothing between the round groups.
struct NothingBetweenRounds {
  template <int G>
  void afterGroup() {}
};

// The five hash words as the round instruction wants them: A in the top
// lane of one register, E in the top lane of another.
struct Sha1Lanes {
  __m128i abcd;
  __m128i e0;

  ZELKIT_SHA_TARGET explicit Sha1Lanes(const uint32_t hash[5])
      : abcd(_mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash)), 0x1B)),
        e0(_mm_set_epi32(static_cast<int>(hash[4]), 0, 0, 0)) {}

  ZELKIT_SHA_TARGET void store(uint32_t hash[5]) const {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hash), _mm_shuffle_epi32(abcd, 0x1B));
    hash[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
  }

  // One 64-byte block; between.afterGroup<G>() runs after round group G.
  template <class Between>
  ZELKIT_SHA_INLINE void compress(const uint8_t* block, Between& between) {
    const __m128i byteOrder = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    const __m128i savedAbcd = abcd;
    const __m128i savedE = e0;
    __m128i e[2] = {e0, _mm_setzero_si128()};
    __m128i message[4];
    allRounds(abcd, e, message, block, byteOrder, between, std::make_integer_sequence<int, 20>{});
    e0 = _mm_sha1nexte_epu32(e[0], savedE);
    abcd = _mm_add_epi32(abcd, savedAbcd);
  }
};

}  // namespace
}  // namespace zelkit::detail

#endif
