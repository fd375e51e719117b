#include "security/tls/ssl_cbc_stitched.h"

#define ZELKIT_STITCH_TARGET __attribute__((target("aes,sha,sse4.1,ssse3")))
#define ZELKIT_SHA_TARGET ZELKIT_STITCH_TARGET

#include "platform/cpu_features.h"
#include "security/cipher/aes_rounds_x86.h"
#include "security/hash/sha1_rounds_x86.h"

namespace zelkit::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// The CBC rounds of four blocks spread over the 20 round groups of one
// hash block: the block G / 5 takes two of its rounds after each of its
// five groups. The last round of a block also starts the next one, its key
// then round key 10 plus round key 0 plus the next plaintext (the last
// round adds its key at the end), so that no addition waits for the cipher
// block. The block read past the last one lies in the stretch hashed
// ahead; what it starts is dropped.
struct CbcRoundsBetween {
  const RoundKeys& keys;
  __m128i lastAndFirst;
  __m128i chain;
  __m128i state;  // the current block with round key 0 and the chain added
  uint8_t* blocks;

  template <int G>
  inline __attribute__((always_inline)) ZELKIT_STITCH_TARGET void afterGroup() {
    constexpr int phase = G % 5;
    uint8_t* block = blocks + 16 * (G / 5);
    state = _mm_aesenc_si128(state, keys.key[2 * phase + 1]);
    if constexpr (phase < 4) {
      state = _mm_aesenc_si128(state, keys.key[2 * phase + 2]);
    } else {
      chain = _mm_aesenclast_si128(state, keys.key[10]);
      storeBlock(block, chain);
      state = _mm_aesenclast_si128(state, _mm_xor_si128(lastAndFirst, loadBlock(block + 16)));
    }
  }
};

}  // namespace

bool sslStitchedSealAvailable() { return platform::cpuHasAesInstructions() && platform::cpuHasShaInstructions(); }

ZELKIT_STITCH_TARGET void sslStitchedSeal(const uint32_t roundKeys[44], uint8_t iv[16], uint32_t hash[5],
                                          const uint8_t* hashed, uint8_t* sealed, uint32_t count) {
  const RoundKeys keys(roundKeys);
  Sha1Lanes lanes(hash);
  const __m128i chain = loadBlock(iv);
  CbcRoundsBetween cbc{keys, _mm_xor_si128(keys.key[10], keys.key[0]), chain,
                       _mm_xor_si128(_mm_xor_si128(loadBlock(sealed), keys.key[0]), chain), sealed};
  for (uint32_t i = 0; i < count; ++i, hashed += 64, cbc.blocks += 64) lanes.compress(hashed, cbc);
  lanes.store(hash);
  storeBlock(iv, cbc.chain);
}

#else

bool sslStitchedSealAvailable() { return false; }
void sslStitchedSeal(const uint32_t*, uint8_t*, uint32_t*, const uint8_t*, uint8_t*, uint32_t) {}

#endif

}  // namespace zelkit::detail
