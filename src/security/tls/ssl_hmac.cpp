#include "security/tls/ssl_hmac.h"

#include <cstring>

namespace zelkit::detail {

namespace {

constexpr uint32_t kBlockLength = 64;
constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5C;

// A SHA-1 context that has compressed one block into `words`.
void resumeAfterOneBlock(Sha1Context& sha1, const uint32_t words[5]) {
  sha1Reset(&sha1);
  std::memcpy(sha1.intermediateHash, words, sizeof sha1.intermediateHash);
  sha1CountCompressedBlocks(&sha1, 1);
}

}  // namespace

SslHmac::SslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength) : hash_(hash) {
  uint8_t block[kBlockLength] = {};  // the key, zero-filled to the block size
  if (keyLength > kBlockLength) {
    // A key longer than a block is replaced by its digest.
    start(inner_);
    feed(inner_, key, keyLength);
    result(inner_, block);
  } else if (keyLength > 0) {
    std::memcpy(block, key, keyLength);
  }
  uint8_t pad[kBlockLength];
  for (uint32_t i = 0; i < kBlockLength; ++i) pad[i] = block[i] ^ kInnerPad;
  start(inner_);
  feed(inner_, pad, kBlockLength);
  for (uint32_t i = 0; i < kBlockLength; ++i) pad[i] = block[i] ^ kOuterPad;
  start(outer_);
  feed(outer_, pad, kBlockLength);
}

SslHmac::SslHmac(const SslSha1Pads& pads) : hash_(SslHash::Sha1) {
  resumeAfterOneBlock(inner_.sha1, pads.inner);
  resumeAfterOneBlock(outer_.sha1, pads.outer);
}

SslSha1Pads SslHmac::sha1Pads() const {
  SslSha1Pads pads;
  std::memcpy(pads.inner, inner_.sha1.intermediateHash, sizeof pads.inner);
  std::memcpy(pads.outer, outer_.sha1.intermediateHash, sizeof pads.outer);
  return pads;
}

void SslHmac::update(const uint8_t* data, uint32_t length) { feed(inner_, data, length); }

void SslHmac::finish(uint8_t* out) {
  uint8_t inner[kMaxDigestLength];
  result(inner_, inner);
  feed(outer_, inner, digestLength());
  result(outer_, out);
}

void SslHmac::start(State& state) {
  if (hash_ == SslHash::Md5) {
    md5Init(&state.md5);
  } else {
    sha1Reset(&state.sha1);
  }
}

void SslHmac::feed(State& state, const uint8_t* data, uint32_t length) {
  if (hash_ == SslHash::Md5) {
    md5Update(&state.md5, data, length);
  } else {
    sha1Input(&state.sha1, data, length);
  }
}

void SslHmac::result(State& state, uint8_t* out) {
  if (hash_ == SslHash::Md5) {
    md5Final(out, &state.md5);
  } else {
    sha1Result(&state.sha1, out);
  }
}

void sslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length,
             uint8_t* out) {
  SslHmac hmac(hash, key, keyLength);
  hmac.update(data, length);
  hmac.finish(out);
}

}  // namespace zelkit::detail
