#include "security/cipher/aes_blocks.h"

#include "platform/cpu_features.h"
#include "security/cipher/aes_rounds_x86.h"

// The AES rounds in the processor's AES instructions: several times the
// speed of the round tables, and no table look-ups whose timing could
// follow the key.
namespace zelkit::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// Blocks in flight at once where the blocks are independent: enough to
// cover the latency of the round instruction.
constexpr uint32_t kParallelBlocks = 8;

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
  for (uint32_t i = 0; i < count; ++i, blocks += 16) storeBlock(blocks, encryptState(keys, loadBlock(blocks)));
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
  __m128i state = _mm_xor_si128(_mm_xor_si128(loadBlock(blocks), keys.key[0]), loadBlock(iv));
  for (uint32_t i = 1;; ++i, blocks += 16) {
    state = middleRounds(keys, state);
    const __m128i cipher = _mm_aesenclast_si128(state, keys.key[10]);
    storeBlock(blocks, cipher);
    if (i == count) {
      storeBlock(iv, cipher);
      return;
    }
    state = _mm_aesenclast_si128(state, _mm_xor_si128(lastAndFirst, loadBlock(blocks + 16)));
  }
}

// Every block decrypts on its own and needs only the cipher block before
// it: several at once.
ZELKIT_AES_TARGET void aesInstructionsCbcDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count,
                                                 uint8_t iv[16]) {
  if (count == 0) return;
  const RoundKeys keys(roundKeys);
  __m128i previous = loadBlock(iv);
  for (; count >= kParallelBlocks; count -= kParallelBlocks, blocks += 16 * kParallelBlocks) {
    __m128i state[kParallelBlocks];
    for (uint32_t j = 0; j < kParallelBlocks; ++j) state[j] = loadBlock(blocks + 16 * j);
    const __m128i last = state[kParallelBlocks - 1];
    decryptSideBySide<kParallelBlocks>(keys, state);
    // Back to front: each cipher block is read again from the buffer
    // before its plaintext replaces it, rather than kept in a register.
    for (uint32_t j = kParallelBlocks - 1; j > 0; --j) {
      storeBlock(blocks + 16 * j, _mm_xor_si128(state[j], loadBlock(blocks + 16 * (j - 1))));
    }
    storeBlock(blocks, _mm_xor_si128(state[0], previous));
    previous = last;
  }
  for (; count > 0; --count, blocks += 16) {
    const __m128i cipher = loadBlock(blocks);
    storeBlock(blocks, _mm_xor_si128(decryptState(keys, cipher), previous));
    previous = cipher;
  }
  storeBlock(iv, previous);
}

// The decryption schedule already holds InvMixColumns of round keys 1 to 9,
// as the decryption instruction expects them; they are taken from 10 down.
ZELKIT_AES_TARGET void aesInstructionsDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count) {
  const RoundKeys keys(roundKeys);
  for (uint32_t i = 0; i < count; ++i, blocks += 16) storeBlock(blocks, decryptState(keys, loadBlock(blocks)));
}

#else

bool aesInstructionsAvailable() { return false; }
void aesInstructionsEncrypt(const uint32_t*, uint8_t*, uint32_t) {}
void aesInstructionsDecrypt(const uint32_t*, uint8_t*, uint32_t) {}
void aesInstructionsCbcEncrypt(const uint32_t*, uint8_t*, uint32_t, uint8_t*) {}
void aesInstructionsCbcDecrypt(const uint32_t*, uint8_t*, uint32_t, uint8_t*) {}

#endif

}  // namespace zelkit::detail
