#include "security/cipher/aes.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "security/cipher/aes_blocks.h"
#include "security/cipher/aes_tables.h"
#include "security/cipher/cbc_chain.h"
#include "core/wire/byte_io.h"

namespace {

using zelkit::detail::aesTables;
using zelkit::detail::readBE32;
using zelkit::detail::writeBE32;

constexpr uint32_t AES_BLOCK = C_CryptAES::BLOCK_SIZE;

// One round-table lookup per state byte; rows 1 to 3 rotate the row-0 entry.
inline uint32_t roundColumn(const uint32_t* table, uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
  return table[b0 >> 24] ^ std::rotr(table[(b1 >> 16) & 255], 8) ^ std::rotr(table[(b2 >> 8) & 255], 16) ^
         std::rotr(table[b3 & 255], 24);
}

inline uint32_t lastRoundColumn(const uint8_t* sbox, uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
  return static_cast<uint32_t>(sbox[b0 >> 24]) << 24 | static_cast<uint32_t>(sbox[(b1 >> 16) & 255]) << 16 |
         static_cast<uint32_t>(sbox[(b2 >> 8) & 255]) << 8 | sbox[b3 & 255];
}

uint32_t subWord(uint32_t w) { return lastRoundColumn(aesTables.sbox, w, w, w, w); }

uint32_t invMixColumn(uint32_t w) {
  // decRound[sbox[x]] is the InvMixColumns column of x alone.
  const uint32_t v = subWord(w);
  return roundColumn(aesTables.decRound, v, v, v, v);
}

void encryptBlock(const uint32_t* rk, uint8_t* block) {
  const uint32_t* t = aesTables.encRound;
  uint32_t s0 = readBE32(block) ^ rk[0], s1 = readBE32(block + 4) ^ rk[1];
  uint32_t s2 = readBE32(block + 8) ^ rk[2], s3 = readBE32(block + 12) ^ rk[3];
  // Unrolled, the round keys become fixed offsets and the loop branch goes.
#pragma GCC unroll 9
  for (int round = 1; round < 10; ++round) {
    rk += 4;
    const uint32_t t0 = roundColumn(t, s0, s1, s2, s3) ^ rk[0];
    const uint32_t t1 = roundColumn(t, s1, s2, s3, s0) ^ rk[1];
    const uint32_t t2 = roundColumn(t, s2, s3, s0, s1) ^ rk[2];
    const uint32_t t3 = roundColumn(t, s3, s0, s1, s2) ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  const uint8_t* sbox = aesTables.sbox;
  writeBE32(block, lastRoundColumn(sbox, s0, s1, s2, s3) ^ rk[0]);
  writeBE32(block + 4, lastRoundColumn(sbox, s1, s2, s3, s0) ^ rk[1]);
  writeBE32(block + 8, lastRoundColumn(sbox, s2, s3, s0, s1) ^ rk[2]);
  writeBE32(block + 12, lastRoundColumn(sbox, s3, s0, s1, s2) ^ rk[3]);
}

// The equivalent inverse cipher: round keys 10 down to 0, InvShiftRows
// taking row r from the column r places to the left.
void decryptBlock(const uint32_t* roundKeys, uint8_t* block) {
  const uint32_t* t = aesTables.decRound;
  const uint32_t* rk = roundKeys + 40;
  uint32_t s0 = readBE32(block) ^ rk[0], s1 = readBE32(block + 4) ^ rk[1];
  uint32_t s2 = readBE32(block + 8) ^ rk[2], s3 = readBE32(block + 12) ^ rk[3];
#pragma GCC unroll 9
  for (int round = 9; round > 0; --round) {
    rk -= 4;
    const uint32_t t0 = roundColumn(t, s0, s3, s2, s1) ^ rk[0];
    const uint32_t t1 = roundColumn(t, s1, s0, s3, s2) ^ rk[1];
    const uint32_t t2 = roundColumn(t, s2, s1, s0, s3) ^ rk[2];
    const uint32_t t3 = roundColumn(t, s3, s2, s1, s0) ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk -= 4;
  const uint8_t* inv = aesTables.invSbox;
  writeBE32(block, lastRoundColumn(inv, s0, s3, s2, s1) ^ rk[0]);
  writeBE32(block + 4, lastRoundColumn(inv, s1, s0, s3, s2) ^ rk[1]);
  writeBE32(block + 8, lastRoundColumn(inv, s2, s1, s0, s3) ^ rk[2]);
  writeBE32(block + 12, lastRoundColumn(inv, s3, s2, s1, s0) ^ rk[3]);
}

// Runs the aligned core on the buffer itself, or block by block through an
// aligned copy when the buffer address is not a multiple of 4.
template <void (C_CryptAES::*Aligned)(uint32_t*, uint32_t)>
void runBlocks(C_CryptAES& cipher, uint8_t* buffer, uint32_t length) {
  if ((reinterpret_cast<uintptr_t>(buffer) & 0x03) == 0) {
    (cipher.*Aligned)(reinterpret_cast<uint32_t*>(buffer), length);
    return;
  }
  alignas(4) uint8_t block[AES_BLOCK];
  for (uint32_t i = 0; i < length / AES_BLOCK; ++i, buffer += AES_BLOCK) {
    std::memcpy(block, buffer, AES_BLOCK);
    (cipher.*Aligned)(reinterpret_cast<uint32_t*>(block), AES_BLOCK);
    std::memcpy(buffer, block, AES_BLOCK);
  }
}

}  // namespace

void C_CryptAES::setKey(const uint8_t* key, int32_t direction) {
  static constexpr uint8_t roundConstants[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};
  uint32_t w[44];
  for (int i = 0; i < 4; ++i) w[i] = readBE32(key + 4 * i);
  for (int i = 4; i < 44; ++i) {
    uint32_t temp = w[i - 1];
    if (i % 4 == 0) temp = subWord(std::rotl(temp, 8)) ^ static_cast<uint32_t>(roundConstants[i / 4 - 1]) << 24;
    w[i] = w[i - 4] ^ temp;
  }
  if (direction == 1) {
    for (int i = 4; i < 40; ++i) w[i] = invMixColumn(w[i]);
  }
  if (direction == 0 || direction == 1) std::memcpy(roundKeys, w, sizeof roundKeys);
}

namespace zelkit::detail {

void aesTableEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) encryptBlock(roundKeys, blocks + i * AES_BLOCK);
}

void aesTableDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) decryptBlock(roundKeys, blocks + i * AES_BLOCK);
}

void aesTableCbcEncrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count, uint8_t iv[16]) {
  cbcEncryptByBlock<AES_BLOCK>(blocks, count, iv, [roundKeys](uint8_t* block) { encryptBlock(roundKeys, block); });
}

void aesTableCbcDecrypt(const uint32_t roundKeys[44], uint8_t* blocks, uint32_t count, uint8_t iv[16]) {
  cbcDecryptByBlock<AES_BLOCK>(blocks, count, iv, [roundKeys](uint8_t* block) { decryptBlock(roundKeys, block); });
}

}  // namespace zelkit::detail

void C_CryptAES::encryptAligned(uint32_t* buffer, uint32_t length) {
  uint8_t* in = reinterpret_cast<uint8_t*>(buffer);
  assert((((uintptr_t)in) & 0x03) == 0);
  if (zelkit::detail::aesInstructionsAvailable()) {
    zelkit::detail::aesInstructionsEncrypt(roundKeys, in, length / AES_BLOCK);
  } else {
    zelkit::detail::aesTableEncrypt(roundKeys, in, length / AES_BLOCK);
  }
}

void C_CryptAES::decryptAligned(uint32_t* buffer, uint32_t length) {
  uint8_t* pData1 = reinterpret_cast<uint8_t*>(buffer);
  assert((((uintptr_t)pData1) & 0x03) == 0);
  if (zelkit::detail::aesInstructionsAvailable()) {
    zelkit::detail::aesInstructionsDecrypt(roundKeys, pData1, length / AES_BLOCK);
  } else {
    zelkit::detail::aesTableDecrypt(roundKeys, pData1, length / AES_BLOCK);
  }
}

void C_CryptAES::encrypt(uint8_t* buffer, uint32_t length) {
  runBlocks<&C_CryptAES::encryptAligned>(*this, buffer, length);
}

void C_CryptAES::decrypt(uint8_t* buffer, uint32_t length) {
  runBlocks<&C_CryptAES::decryptAligned>(*this, buffer, length);
}

void C_CryptAES::encryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) {
  if (zelkit::detail::aesInstructionsAvailable()) {
    zelkit::detail::aesInstructionsCbcEncrypt(roundKeys, buffer, length / AES_BLOCK, iv);
  } else {
    zelkit::detail::aesTableCbcEncrypt(roundKeys, buffer, length / AES_BLOCK, iv);
  }
}

void C_CryptAES::decryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) {
  if (zelkit::detail::aesInstructionsAvailable()) {
    zelkit::detail::aesInstructionsCbcDecrypt(roundKeys, buffer, length / AES_BLOCK, iv);
  } else {
    zelkit::detail::aesTableCbcDecrypt(roundKeys, buffer, length / AES_BLOCK, iv);
  }
}
