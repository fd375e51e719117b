#pragma once

#include <cstdint>
#include <cstring>

// Cipher block chaining over whole blocks in place, for a cipher core that
// takes one block at a time. The running vector `iv` ends as the last
// cipher block.
namespace zelkit::detail {

template <uint32_t Block, class EncryptBlock>
void cbcEncryptByBlock(uint8_t* blocks, uint32_t count, uint8_t* iv, EncryptBlock encryptBlock) {
  if (count == 0) return;
  const uint8_t* chain = iv;
  for (uint32_t i = 0; i < count; ++i, blocks += Block) {
    for (uint32_t j = 0; j < Block; ++j) blocks[j] ^= chain[j];
    encryptBlock(blocks);
    chain = blocks;
  }
  std::memcpy(iv, chain, Block);
}

// Back to front: the block before each one is still cipher text when it is
// needed, so only the last cipher block is kept aside, for the next chain.
template <uint32_t Block, class DecryptBlock>
void cbcDecryptByBlock(uint8_t* blocks, uint32_t count, uint8_t* iv, DecryptBlock decryptBlock) {
  if (count == 0) return;
  uint8_t last[Block];
  std::memcpy(last, blocks + (count - 1) * Block, Block);
  for (uint32_t i = count; i-- > 0;) {
    uint8_t* current = blocks + i * Block;
    decryptBlock(current);
    const uint8_t* previous = i == 0 ? iv : current - Block;
    for (uint32_t j = 0; j < Block; ++j) current[j] ^= previous[j];
  }
  std::memcpy(iv, last, Block);
}

}  // namespace zelkit::detail
