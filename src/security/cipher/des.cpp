#include "security/cipher/des.h"

#include <bit>

#include "core/wire/byte_io.h"
#include "security/cipher/cbc_chain.h"
#include "security/cipher/des_tables.h"

namespace {

using zelkit::detail::desSpTables;

constexpr uint32_t DES_BLOCK = C_CryptDES::BLOCK_SIZE;

// Key schedule tables; entries count bits from 1 at the most significant.
constexpr uint8_t permutedChoice1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                         10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                         63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                         14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t permutedChoice2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                         26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                         51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
// Left rotations of both key halves before round keys 1 to 16, added up.
constexpr uint8_t cumulativeShifts[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};

uint64_t selectBits(uint64_t in, int inBits, const uint8_t* table, int outBits) {
  uint64_t out = 0;
  for (int j = 0; j < outBits; ++j) out = out << 1 | ((in >> (inBits - table[j])) & 1);
  return out;
}

uint32_t rotateHalf(uint32_t half, int n) { return ((half << n) | (half >> (28 - n))) & 0x0FFFFFFF; }

// Exchanges the bits of b selected by mask with those of a shifted right by n.
inline void swapBits(uint32_t& a, uint32_t& b, int n, uint32_t mask) {
  const uint32_t t = ((a >> n) ^ b) & mask;
  b ^= t;
  a ^= t << n;
}

// IP as a sequence of bit-group exchanges between the halves.
inline void initialPermutation(uint32_t& left, uint32_t& right) {
  swapBits(left, right, 4, 0x0F0F0F0F);
  swapBits(left, right, 16, 0x0000FFFF);
  swapBits(right, left, 2, 0x33333333);
  swapBits(right, left, 8, 0x00FF00FF);
  swapBits(left, right, 1, 0x55555555);
}

// IP^-1: the same exchanges in reverse order.
inline void finalPermutation(uint32_t& left, uint32_t& right) {
  swapBits(left, right, 1, 0x55555555);
  swapBits(right, left, 8, 0x00FF00FF);
  swapBits(right, left, 2, 0x33333333);
  swapBits(left, right, 16, 0x0000FFFF);
  swapBits(left, right, 4, 0x0F0F0F0F);
}

// One Feistel round on halves kept rotated left by one bit: rotated so, the
// 6-bit inputs of S-boxes 2, 4, 6, 8 lie in the low bits of the bytes of
// `right`, those of S-boxes 1, 3, 5, 7 in the bytes of `right` rotated by 4.
inline void feistelRound(uint32_t& left, uint32_t right, const uint32_t* key) {
  const auto& sp = desSpTables.sp;
  const uint32_t odd = std::rotr(right, 4) ^ key[0];
  const uint32_t even = right ^ key[1];
  left ^= sp[0][(odd >> 24) & 63] ^ sp[2][(odd >> 16) & 63] ^ sp[4][(odd >> 8) & 63] ^ sp[6][odd & 63] ^
          sp[1][(even >> 24) & 63] ^ sp[3][(even >> 16) & 63] ^ sp[5][(even >> 8) & 63] ^ sp[7][even & 63];
}

template <bool Decrypt>
void cryptBlocks(const uint32_t* subkeys, uint8_t* buffer, uint32_t length) {
  for (uint32_t i = 0; i < length / DES_BLOCK; ++i, buffer += DES_BLOCK) {
    uint32_t left = zelkit::detail::readBE32(buffer), right = zelkit::detail::readBE32(buffer + 4);
    initialPermutation(left, right);
    left = std::rotl(left, 1);
    right = std::rotl(right, 1);
    for (int round = 0; round < 16; round += 2) {
      feistelRound(left, right, subkeys + 2 * (Decrypt ? 15 - round : round));
      feistelRound(right, left, subkeys + 2 * (Decrypt ? 14 - round : round + 1));
    }
    // The halves swap after the last round.
    left = std::rotr(left, 1);
    right = std::rotr(right, 1);
    finalPermutation(right, left);
    zelkit::detail::writeBE32(buffer, right);
    zelkit::detail::writeBE32(buffer + 4, left);
  }
}

}  // namespace

void C_CryptDES::setKey(const uint8_t* key, int32_t) {
  const uint64_t key64 = static_cast<uint64_t>(zelkit::detail::readBE32(key)) << 32 | zelkit::detail::readBE32(key + 4);
  const uint64_t cd = selectBits(key64, 64, permutedChoice1, 56);
  const uint32_t c = static_cast<uint32_t>(cd >> 28), d = static_cast<uint32_t>(cd & 0x0FFFFFFF);
  for (int round = 0; round < 16; ++round) {
    const int shift = cumulativeShifts[round] % 28;
    const uint64_t rotated = static_cast<uint64_t>(rotateHalf(c, shift)) << 28 | rotateHalf(d, shift);
    const uint64_t k = selectBits(rotated, 56, permutedChoice2, 48);
    auto group = [k](int g) { return static_cast<uint32_t>((k >> (48 - 6 * g)) & 63); };
    desSubkeys[2 * round] = group(1) << 24 | group(3) << 16 | group(5) << 8 | group(7);
    desSubkeys[2 * round + 1] = group(2) << 24 | group(4) << 16 | group(6) << 8 | group(8);
  }
}

void C_CryptDES::encrypt(uint8_t* buffer, uint32_t length) { cryptBlocks<false>(desSubkeys, buffer, length); }

void C_CryptDES::decrypt(uint8_t* buffer, uint32_t length) { cryptBlocks<true>(desSubkeys, buffer, length); }

void C_CryptDES::encryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) {
  zelkit::detail::cbcEncryptByBlock<DES_BLOCK>(
      buffer, length / DES_BLOCK, iv, [this](uint8_t* block) { cryptBlocks<false>(desSubkeys, block, DES_BLOCK); });
}

void C_CryptDES::decryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) {
  zelkit::detail::cbcDecryptByBlock<DES_BLOCK>(
      buffer, length / DES_BLOCK, iv, [this](uint8_t* block) { cryptBlocks<true>(desSubkeys, block, DES_BLOCK); });
}

void C_CryptDES::encryptRtp(uint8_t*, uint32_t) {}
void C_CryptDES::decryptRtp(uint8_t*, uint32_t) {}
void C_CryptDES::setRtpMasterKey(const uint8_t*) {}
void C_CryptDES::encryptAligned(uint32_t*, uint32_t) {}
void C_CryptDES::decryptAligned(uint32_t*, uint32_t) {}
