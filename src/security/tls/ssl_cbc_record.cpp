#include <algorithm>
#include <cstring>

#include "security/cipher/crypt.h"
#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_constant_time.h"
#include "security/tls/ssl_hmac.h"

// Record protection of the CBC suites: HMAC-SHA1 over the sequence number,
// the record header and the plaintext, then padding, then CBC with the IV
// running on from the last cipher block of the previous record. Records are
// sealed and opened in place, whole: the cipher and the hash each take long
// runs of blocks.
namespace zelkit::detail {

namespace {

constexpr int kMaxBlock = 16;
constexpr int kMaxPadding = 256;
constexpr uint32_t kMacHeaderLength = 13;
constexpr uint32_t kHashBlock = 64;
// Sealing hashes the plaintext a stretch ahead of the cipher: a stretch is
// encrypted while the next one is hashed, and the two passes, which use
// different units of the processor, run side by side. A multiple of the
// hash block and of the cipher blocks.
constexpr uint32_t kSealStretch = 128;

void sslIncrementSequence(uint8_t sequence[8]) {
  for (int i = 7; i >= 0; --i) {
    if (++sequence[i] != 0) break;
  }
}

// The MAC with the record's header fed: the plaintext is to follow.
SslHmac sslStartRecordMac(const SslCipherState* state, const uint8_t* secret, const uint8_t sequence[8],
                          uint32_t length) {
  const uint8_t header[kMacHeaderLength] = {sequence[0],
                                            sequence[1],
                                            sequence[2],
                                            sequence[3],
                                            sequence[4],
                                            sequence[5],
                                            sequence[6],
                                            sequence[7],
                                            state->recordType,
                                            3,
                                            1,
                                            static_cast<uint8_t>(length >> 8),
                                            static_cast<uint8_t>(length)};
  SslHmac hmac(SslHash::Sha1, secret, state->macLength);
  hmac.update(header, sizeof header);
  return hmac;
}

}  // namespace

int sslProtectCbc(uint8_t* body, int length, int space, SslCipherState* state) {
  const int block = static_cast<int>(state->ivLength);
  const int mac = static_cast<int>(state->macLength);
  int padding = block - (length + mac + 1) % block;
  if (padding == block) padding = 0;
  const int total = length + mac + 1 + padding;
  if (total > space) return -1;

  const uint32_t plaintext = static_cast<uint32_t>(length);
  const uint32_t blockBytes = static_cast<uint32_t>(block);
  C_Cryptlfc* cipher = state->writeCipher;
  SslHmac hmac = sslStartRecordMac(state, state->writeMacSecret, state->writeSequence, plaintext);
  // Only hashed bytes are encrypted. The first stretch completes the hash
  // block the header began, so that the later ones are hashed straight
  // from the record.
  uint32_t hashed = 0;
  uint32_t encrypted = 0;
  uint32_t stretch = kHashBlock - kMacHeaderLength;
  while (hashed < plaintext) {
    const uint32_t take = std::min(stretch, plaintext - hashed);
    hmac.update(body + hashed, take);
    hashed += take;
    const uint32_t ready = hashed - hashed % blockBytes;
    cipher->encryptCbc(body + encrypted, ready - encrypted, state->writeIv);
    encrypted = ready;
    stretch = kSealStretch;
  }
  hmac.finish(body + length);
  sslIncrementSequence(state->writeSequence);
  std::memset(body + length + mac, padding, static_cast<size_t>(padding) + 1);
  cipher->encryptCbc(body + encrypted, static_cast<uint32_t>(total) - encrypted, state->writeIv);
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
  SslHmac hmac = sslStartRecordMac(state, state->readMacSecret, state->readSequence, plaintext);
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
