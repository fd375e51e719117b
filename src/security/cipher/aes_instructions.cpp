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

// Blocks in flight at once where the blocks are independent: enough to
// cover the latency of the round instruction.
constexpr uint32_t kParallelBlocks = 8;

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

ZELKIT_AES_TARGET inline __m128i load(const uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

ZELKIT_AES_TARGET inline void store(uint8_t* bytes, __m128i value) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), value);
}

// Rounds 1 to 9, unrolled so that the keys stay in registers.
ZELKIT_AES_TARGET inline __m128i middleRounds(const RoundKeys& keys, __m128i state) {
#pragma GCC unroll 9
  for (int round = 1; round < 10; ++round) state = _mm_aesenc_si128(state, keys.key[round]);
  return state;
}

ZELKIT_AES_TARGET inline __m128i encryptState(const RoundKeys& keys, __m128i state) {
  return _mm_aesenclast_si128(middleRounds(keys, _mm_xor_si128(state, keys.key[0])), keys.key[10]);
}

ZELKIT_AES_TARGET inline __m128i decryptState(const RoundKeys& keys, __m128i state) {
  state = _mm_xor_si128(state, keys.key[10]);
#pragma GCC unroll 9
  for (int round = 9; round > 0; --round) state = _mm_aesdec_si128(state, keys.key[round]);
  return _mm_aesdeclast_si128(state, keys.key[0]);
}

// Decrypts `Count` independent blocks round by round side by side, so that
// their rounds overlap in the processor.
template <uint32_t Count>
ZELKIT_AES_TARGET inline void decryptSideBySide(const RoundKeys& keys, __m128i state[Count]) {
#pragma GCC unroll 8
  for (uint32_t j = 0; j < Count; ++j) state[j] = _mm_xor_si128(state[j], keys.key[10]);
#pragma GCC unroll 9
  for (int round = 9; round > 0; --round) {
#pragma GCC unroll 8
    for (uint32_t j = 0; j < Count; ++j) state[j] = _mm_aesdec_si128(state[j], keys.key[round]);
  }
#pragma GCC unroll 8
  for (uint32_t j = 0; j < Count; ++j) state[j] = _mm_aesdeclast_si128(state[j], keys.key[0]);
}

}  // namespace

bool aesInstructionsAvailable() { return platform::cpuHasAesInstructions(); }

ZELKIT_AES_TARGET void aesInstructionsEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count) {
  const RoundKeys keys(roundKeys);
  for (uint32_t i = 0; i < count; ++i, blocks += 16) store(blocks, encryptState(keys, load(blocks)));
}

// Each block waits for the one before: the speed is the latency of the
// rounds, so nothing else may wait on the chain. The last round of a block
// also starts the next one, its key then round key 10 plus round key 0 plus
// the next plaintext (the last round adds its key at the end), so that no
// addition waits for the cipher block.
ZELKIT_AES_TARGET void aesInstructionsCbcEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count,
                                                 uint8_t iv[16]) {
  if (count == 0) return;
  const RoundKeys keys(roundKeys);
  const __m128i lastAndFirst = _mm_xor_si128(keys.key[10], keys.key[0]);
  __m128i state = _mm_xor_si128(_mm_xor_si128(load(blocks), keys.key[0]), load(iv));
  for (uint32_t i = 1;; ++i, blocks += 16) {
    state = middleRounds(keys, state);
    const __m128i cipher = _mm_aesenclast_si128(state, keys.key[10]);
    store(blocks, cipher);
    if (i == count) {
      store(iv, cipher);
      return;
    }
    state = _mm_aesenclast_si128(state, _mm_xor_si128(lastAndFirst, load(blocks + 16)));
  }
}

// Every block decrypts on its own and needs only the cipher block before
// it: several at once.
ZELKIT_AES_TARGET void aesInstructionsCbcDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count,
                                                 uint8_t iv[16]) {
  if (count == 0) return;
  const RoundKeys keys(roundKeys);
  __m128i previous = load(iv);
  for (; count >= kParallelBlocks; count -= kParallelBlocks, blocks += 16 * kParallelBlocks) {
    __m128i state[kParallelBlocks];
    for (uint32_t j = 0; j < kParallelBlocks; ++j) state[j] = load(blocks + 16 * j);
    const __m128i last = state[kParallelBlocks - 1];
    decryptSideBySide<kParallelBlocks>(keys, state);
    // Back to front: each cipher block is read again from the buffer
    // before its plaintext replaces it, rather than kept in a register.
    for (uint32_t j = kParallelBlocks - 1; j > 0; --j) {
      store(blocks + 16 * j, _mm_xor_si128(state[j], load(blocks + 16 * (j - 1))));
    }
    store(blocks, _mm_xor_si128(state[0], previous));
    previous = last;
  }
  for (; count > 0; --count, blocks += 16) {
    const __m128i cipher = load(blocks);
    store(blocks, _mm_xor_si128(decryptState(keys, cipher), previous));
    previous = cipher;
  }
  store(iv, previous);
}

// The decryption schedule already holds InvMixColumns of round keys 1 to 9,
// as the decryption instruction expects them; they are taken from 10 down.
ZELKIT_AES_TARGET void aesInstructionsDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count) {
  const RoundKeys keys(roundKeys);
  for (uint32_t i = 0; i < count; ++i, blocks += 16) store(blocks, decryptState(keys, load(blocks)));
}

#else

bool aesInstructionsAvailable() { return false; }
void aesInstructionsEncrypt(const uint32_t*, uint8_t*, uint32_t) {}
void aesInstructionsDecrypt(const uint32_t*, uint8_t*, uint32_t) {}
void aesInstructionsCbcEncrypt(const uint32_t*, uint8_t*, uint32_t, uint8_t*) {}
void aesInstructionsCbcDecrypt(const uint32_t*, uint8_t*, uint32_t, uint8_t*) {}

#endif

}  // namespace zelkit::detail
