#pragma once

#include <cstdint>

// The one block-cipher interface: in-place ECB on whole blocks, key set-up,
// and the media counter mode over RTP packets. Implemented by C_CryptAES
// and C_CryptDES; made by zelkit::detail::createCrypt. No operation reports
// anything; bytes after the last whole block are never touched.
class C_Cryptlfc {
 public:
  virtual ~C_Cryptlfc() = default;

  virtual void encrypt(uint8_t* buffer, uint32_t length) = 0;
  virtual void decrypt(uint8_t* buffer, uint32_t length) = 0;
  // direction 0 prepares encryption, 1 decryption.
  virtual void setKey(const uint8_t* key, int32_t direction) = 0;
  // The whole packet, its 12-byte RTP header first; the header is left as
  // it is. Decryption is the same transformation.
  virtual void encryptRtp(uint8_t* packet, uint32_t length) = 0;
  virtual void decryptRtp(uint8_t* packet, uint32_t length) = 0;
  // Derives the RTP session key and salt from a 16-byte master key and keys
  // the cipher for encryption with the session key.
  virtual void setRtpMasterKey(const uint8_t* masterKey) = 0;
  // The cores of encrypt and decrypt, for buffers whose address is a
  // multiple of 4.
  virtual void encryptAligned(uint32_t* buffer, uint32_t length) = 0;
  virtual void decryptAligned(uint32_t* buffer, uint32_t length) = 0;
  // CBC in place over the whole blocks, chained from `iv` (one block),
  // which ends as the last cipher block so that the next call runs on: the
  // TLS records of a connection are one chain. A whole record in one call
  // lets the cipher keep its round keys in registers and, for decryption,
  // work on several blocks at once.
  virtual void encryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) = 0;
  virtual void decryptCbc(uint8_t* buffer, uint32_t length, uint8_t* iv) = 0;
};

namespace zelkit::detail {

enum CryptType : int32_t {
  CryptAes = 0,  // AES-128, C_CryptAES
  CryptDes = 1,  // single DES, C_CryptDES
};

// An unkeyed cipher object of the given type, owned by the caller; null for
// an unknown type.
C_Cryptlfc* createCrypt(int32_t type);

}  // namespace zelkit::detail
