#include "security/rsa/rsa.h"

#include <cstring>

#include "security/rsa/random.h"

namespace zelkit::detail {

namespace {

// 00 02, at least eight padding bytes, the 00 separator.
constexpr int32_t kPaddingOverhead = 11;
// The same without the leading zero, which a decrypted number does not show.
constexpr int32_t kSignificantOverhead = kPaddingOverhead - 1;

int32_t byteLength(const BigNum* a) { return (a->bits + 7) / 8; }

void fillNonZeroRandom(uint8_t* out, int32_t count) {
  randomBytes(out, count);
  for (int32_t i = 0; i < count; ++i) {
    while (out[i] == 0) randomBytes(out + i, 1);
  }
}

}  // namespace

int rsaEncrypt(const KeyRecord* publicKey, const uint8_t* in, int32_t inLength, uint8_t* out, int32_t* outLength) {
  if (inLength != kPreMasterLength) return -2;
  const BigNum* modulus = &publicKey->first;
  const int32_t k = byteLength(modulus);
  if (modulus->bits > kRsaMaxModulusBits || kPreMasterLength > k - kPaddingOverhead) return -3;

  // 00 02 PS 00 M in k bytes.
  uint8_t block[kRsaMaxModulusBits / 8];
  const int32_t paddingLength = k - kPreMasterLength - 3;
  block[0] = 0;
  block[1] = 2;
  fillNonZeroRandom(block + 2, paddingLength);
  block[2 + paddingLength] = 0;
  std::memcpy(block + 3 + paddingLength, in, kPreMasterLength);

  BigNum message;
  BigNum cipher;
  bigNumFromBytes(&message, block, k, true);
  bigNumModExp(&message, &publicKey->second, modulus, &cipher);
  const int32_t length = byteLength(&cipher);
  if (*outLength < length) {
    *outLength = 0;
    return -3;
  }
  bigNumToBytes(out, &cipher, length, true);
  *outLength = length;
  return 0;
}

int rsaDecrypt(const KeyRecord* privateKey, const uint8_t* in, int32_t inLength, uint8_t* out, int32_t* outLength) {
  if (inLength < 0 || inLength > kBigNumMaxBytes) return -2;
  if (*outLength < kPreMasterLength) return -3;
  const BigNum* modulus = &privateKey->first;
  if (modulus->bits == 0 || modulus->bits > kRsaMaxModulusBits) return -3;

  BigNum cipher;
  BigNum message;
  bigNumFromBytes(&cipher, in, inLength, true);
  rsaPrivateOperation(privateKey, &cipher, &message);

  // Counting from the least significant byte: the secret in bytes 0-47,
  // the separator in byte 48, the block type in the top byte.
  const int32_t length = byteLength(&message);
  if (length - kPreMasterLength < kSignificantOverhead) return -3;
  uint8_t block[kRsaMaxModulusBits / 8];
  bigNumToBytes(block, &message, length, true);
  if (block[length - 1 - kPreMasterLength] != 0 || block[0] != 2) return -4;
  std::memcpy(out, block + length - kPreMasterLength, kPreMasterLength);
  *outLength = kPreMasterLength;
  return 0;
}

}  // namespace zelkit::detail
