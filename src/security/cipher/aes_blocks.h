#pragma once

#include <cstdint>

// The two implementations of the AES-128 block operations over the round
// keys C_CryptAES keeps (44 big-endian words; for decryption those of the
// equivalent inverse cipher): the round tables, and the processor's AES
// instructions where it has them. Both work in place on whole blocks.
namespace zelkit::detail {

void aesTableEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);
void aesTableDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);

// True when the processor runs the AES instructions.
bool aesInstructionsAvailable();
void aesInstructionsEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);
void aesInstructionsDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);

}  // namespace zelkit::detail
