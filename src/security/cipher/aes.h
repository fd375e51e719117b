#pragma once

#include <cstdint>

#include "security/cipher/crypt.h"

// AES-128 (FIPS-197) with the media counter mode. The round keys hold one
// direction: after setKey(key, 0) encryption and the RTP operations work,
// after setKey(key, 1) only decryption does.
class C_CryptAES : public C_Cryptlfc {
 public:
  static constexpr uint32_t BLOCK_SIZE = 16;

  void encrypt(uint8_t* buffer, uint32_t length) override;
  void decrypt(uint8_t* buffer, uint32_t length) override;
  void setKey(const uint8_t* key, int32_t direction) override;
  void encryptRtp(uint8_t* packet, uint32_t length) override;
  void decryptRtp(uint8_t* packet, uint32_t length) override;
  void setRtpMasterKey(const uint8_t* masterKey) override;
  void encryptAligned(uint32_t* buffer, uint32_t length) override;
  void decryptAligned(uint32_t* buffer, uint32_t length) override;
  void encryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) override;
  void decryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) override;

  // Eleven round keys of four big-endian words; for direction 1 those of
  // the equivalent inverse cipher (round keys 1 to 9 through InvMixColumns).
  uint32_t roundKeys[44] = {};
  // RTP session salt (bytes 14 and 15 stay zero) and session key.
  uint8_t rtpSalt[16] = {};
  uint8_t rtpKey[16] = {};
};
