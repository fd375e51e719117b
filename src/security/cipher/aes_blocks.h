#pragma once

#include <cstdint>

// The two implementations of the AES-128 block operations over the round
// keys C_CryptAES keeps (44 big-endian words; for decryption those of the
// equivalent inverse cipher): the round tables, and the processor's AES
// instructions where it has them. Both work in place on whole blocks, in
// ECB or in CBC chained from iv (which ends as the last cipher block).
namespace zelkit::detail {

void aesTableEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);
void aesTableDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);
void aesTableCbcEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count, uint8_t iv[16]);
void aesTableCbcDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count, uint8_t iv[16]);

// True when the processor runs the AES instructions.
bool aesInstructionsAvailable();
void aesInstructionsEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);
void aesInstructionsDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count);
void aesInstructionsCbcEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count, uint8_t iv[16]);
void aesInstructionsCbcDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count, uint8_t iv[16]);

}  // namespace zelkit::detail
