#pragma once

#include <cstdint>

#include "security/cipher/crypt.h"

// Single DES (FIPS 46-3). One keyed object both encrypts and decrypts; the
// media and aligned operations of the interface do nothing.
class C_CryptDES : public C_Cryptlfc {
 public:
  static constexpr uint32_t BLOCK_SIZE = 8;

  void encrypt(uint8_t* buffer, uint32_t length) override;
  void decrypt(uint8_t* buffer, uint32_t length) override;
  // Reads 8 key bytes; the parity bits and the direction are ignored.
  void setKey(const uint8_t* key, int32_t direction) override;
  void encryptRtp(uint8_t* packet, uint32_t length) override;
  void decryptRtp(uint8_t* packet, uint32_t length) override;
  void setRtpMasterKey(const uint8_t* masterKey) override;
  void encryptAligned(uint32_t* buffer, uint32_t length) override;
  void decryptAligned(uint32_t* buffer, uint32_t length) override;
  void encryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) override;
  void decryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) override;

  // The 16 round keys in round order, two words each: S-box groups 1, 3, 5,
  // 7 and then 2, 4, 6, 8, one 6-bit group in the low bits of each byte.
  uint32_t desSubkeys[32] = {};
};
