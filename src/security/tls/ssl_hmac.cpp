#include "security/tls/ssl_hmac.h"

#include <cstring>

namespace zelkit::detail {

namespace {

constexpr uint32_t kBlockLength = 64;
constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5C;

}  // namespace

SslHmac::SslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength) : hash_(hash) {
  std::memset(key_, 0, sizeof key_);
  if (keyLength > kBlockLength) {
    // A key longer than a block is replaced by its digest.
    start();
    feed(key, keyLength);
    result(key_);
  } else if (keyLength > 0) {
    std::memcpy(key_, key, keyLength);
  }
  uint8_t pad[kBlockLength];
  for (uint32_t i = 0; i < kBlockLength; ++i) pad[i] = key_[i] ^ kInnerPad;
  start();
  feed(pad, kBlockLength);
}

void SslHmac::update(const uint8_t* data, uint32_t length) { feed(data, length); }

void SslHmac::finish(uint8_t* out) {
  uint8_t inner[kMaxDigestLength];
  result(inner);
  uint8_t pad[kBlockLength];
  for (uint32_t i = 0; i < kBlockLength; ++i) pad[i] = key_[i] ^ kOuterPad;
  start();
  feed(pad, kBlockLength);
  feed(inner, digestLength());
  result(out);
}

void SslHmac::start() {
  if (hash_ == SslHash::Md5) {
    md5Init(&md5_);
  } else {
    sha1Reset(&sha1_);
  }
}

void SslHmac::feed(const uint8_t* data, uint32_t length) {
  if (hash_ == SslHash::Md5) {
    md5Update(&md5_, data, length);
  } else {
    sha1Input(&sha1_, data, length);
  }
}

void SslHmac::result(uint8_t* out) {
  if (hash_ == SslHash::Md5) {
    md5Final(out, &md5_);
  } else {
    sha1Result(&sha1_, out);
  }
}

void sslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length,
             uint8_t* out) {
  SslHmac hmac(hash, key, keyLength);
  hmac.update(data, length);
  hmac.finish(out);
}

}  // namespace zelkit::detail
