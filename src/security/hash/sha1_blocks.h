#pragma once

#include <cstdint>

// The two implementations of the SHA-1 compression of whole 64-byte
// blocks into the five hash words: plain C, and the processor's SHA
// instructions where it has them.
namespace zelkit::detail {

void sha1PlainBlocks(uint32_t hash[5], const uint8_t* blocks, uint32_t count);

// True when the processor runs the SHA instructions.
bool sha1InstructionsAvailable();
void sha1InstructionsBlocks(uint32_t hash[5], const uint8_t* blocks, uint32_t count);

}  // namespace zelkit::detail
