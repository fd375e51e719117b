#include <algorithm>
#include <cstring>

#include "security/cipher/aes.h"
#include "security/cipher/crypt.h"
#include "security/tls/ssl_cbc_stitched.h"
#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_constant_time.h"
#include "security/tls/ssl_hmac.h"

// Record protection of the CBC suites: HMAC-SHA1 over the sequence number,
// the record header and the plaintext, then padding, then CBC with the IV
// running on from the last cipher block of the previous record. Records are
// sealed and opened in place, whole: the cipher and the hash each take long
// runs of blocks, and with the processor's AES and SHA instructions an
// AES record is hashed and encrypted in one stitched pass.
namespace zelkit::detail {

namespace {

constexpr int kMaxBlock = 16;
constexpr int kMaxPadding = 256;
constexpr uint32_t kMacHeaderLength = 13;
constexpr uint32_t kHashBlock = 64;

void sslIncrementSequence(uint8_t sequence[8]) {
  for (int i = 7; i >= 0; --i) {
    if (++sequence[i] != 0) break;
  }
}

// The MAC with the record's header fed: the plaintext is to follow.
SslHmac sslStartRecordMac(const SslCipherState* state, const SslSha1Pads& pads, const uint8_t sequence[8],
                          uint32_t length) {
  const uint8_t header[kMacHeaderLength] = {sequence[0], sequence[1], sequence[2], sequence[3], sequence[4],
                                            sequence[5], sequence[6], sequence[7], state->recordType, 3, 1,
                                            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  SslHmac hmac(pads);
  hmac.update(header, sizeof header);
  return hmac;
}

// Hashes the plaintext into the MAC and encrypts as much of it as the
// stitched pass can take; returns the bytes encrypted (whole blocks). The
// hash runs a block ahead of the cipher: first the block the header began,
// then one more, so that the pass never encrypts bytes it has yet to hash.
uint32_t sslHashAndSeal(SslHmac& hmac, uint8_t* body, uint32_t length, SslCipherState* state) {
  uint32_t hashed = std::min(length, kHashBlock - kMacHeaderLength);
  hmac.update(body, hashed);
  auto* aes = dynamic_cast<C_CryptAES*>(state->writeCipher);
  uint32_t encrypted = 0;
  if (aes != nullptr && length >= hashed + 2 * kHashBlock && sslStitchedSealAvailable()) {
    hmac.update(body + hashed, kHashBlock);
    hashed += kHashBlock;
    const uint32_t blocks = (length - hashed) / kHashBlock;
    Sha1Context& sha1 = hmac.innerSha1();
    sslStitchedSeal(aes->roundKeys, state->writeIv, sha1.intermediateHash, body + hashed, body, blocks);
    sha1CountCompressedBlocks(&sha1, blocks);
    hashed += blocks * kHashBlock;
    encrypted = blocks * kHashBlock;
  }
  hmac.update(body + hashed, length - hashed);
  return encrypted;
}

}  // namespace

int sslProtectCbc(uint8_t* body, int length, int space, SslCipherState* state) {
  const int block = static_cast<int>(state->ivLength);
  const int mac = static_cast<int>(state->macLength);
  int padding = block - (length + mac + 1) % block;
  if (padding == block) padding = 0;
  const int total = length + mac + 1 + padding;
  if (total > space) return -1;

  SslHmac hmac = sslStartRecordMac(state, state->writeMacPads, state->writeSequence, static_cast<uint32_t>(length));
  const uint32_t encrypted = sslHashAndSeal(hmac, body, static_cast<uint32_t>(length), state);
  hmac.finish(body + length);
  sslIncrementSequence(state->writeSequence);
  std::memset(body + length + mac, padding, static_cast<size_t>(padding) + 1);
  state->writeCipher->encryptCbc(body + encrypted, static_cast<uint32_t>(total) - encrypted, state->writeIv);
  return total;
}

int sslOpenCbc(uint8_t* body, int length, int, SslCipherState* state) {
  const int block = static_cast<int>(state->ivLength);
  const int mac = static_cast<int>(state->macLength);
  if (length <= 0 || block <= 0 || block > kMaxBlock || length % block != 0 || state->readCipher == nullptr) {
    return -1;
  }

  state->readCipher->decryptCbc(body, static_cast<uint32_t>(length), state->readIv);
  // Too short for a MAC and a padding byte: the length is public, nothing
  // secret decides this.
  if (length < mac + 1) return SslError::Protocol;

  // Padding and MAC decide together, without a branch on the padding, so
  // that a bad padding cannot be told from a bad MAC.
  const uint32_t padding = body[length - 1];
  const uint32_t room = static_cast<uint32_t>(length - mac);  // plaintext and padding, at least 1
  uint32_t good = maskLessOrEqual(padding + 1, room);
  const int checked = std::min(kMaxPadding, length);
  for (int i = 1; i < checked; ++i) {
    const uint32_t inPadding = maskLessOrEqual(static_cast<uint32_t>(i), padding);
    good &= ~(inPadding & ~maskZero(body[length - 1 - i] ^ padding));
  }
  // A bad padding still has a MAC computed, over everything before the
  // last MAC-sized bytes.
  const uint32_t plaintext = (good & (room - padding - 1)) | (~good & (room - 1));

  uint8_t expected[kMaxDigestLength];
  SslHmac hmac = sslStartRecordMac(state, state->readMacPads, state->readSequence, plaintext);
  hmac.update(body, plaintext);
  hmac.finish(expected);
  uint32_t difference = 0;
  for (int i = 0; i < mac; ++i) difference |= expected[i] ^ body[plaintext + static_cast<uint32_t>(i)];
  good &= maskZero(difference);
  if (good == 0) return SslError::Protocol;
  sslIncrementSequence(state->readSequence);
  return static_cast<int>(plaintext);
}

}  // namespace zelkit::detail
