#pragma once

#include <cstdint>

#include "security/hash/md5.h"
#include "security/hash/sha1.h"

// HMAC (RFC 2104) over MD5 or SHA-1, fed in pieces.
namespace zelkit::detail {

enum class SslHash { Md5, Sha1 };

constexpr uint32_t kMd5Length = 16;
constexpr uint32_t kSha1Length = 20;
constexpr uint32_t kMaxDigestLength = kSha1Length;

class SslHmac {
 public:
  SslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength);
  void update(const uint8_t* data, uint32_t length);
  // Writes digestLength() bytes.
  void finish(uint8_t* out);
  uint32_t digestLength() const { return hash_ == SslHash::Md5 ? kMd5Length : kSha1Length; }
  // SHA-1 only: the inner hash, for a caller that compresses whole blocks
  // into its words itself while no partial block is pending, and counts
  // them with sha1CountCompressedBlocks.
  Sha1Context& innerSha1() { return sha1_; }

 private:
  void start();
  void feed(const uint8_t* data, uint32_t length);
  void result(uint8_t* out);

  SslHash hash_;
  uint8_t key_[64];  // zero-filled to the block size
  Md5Context md5_;
  Sha1Context sha1_;
};

// out = HMAC(key, data), digest-length bytes.
void sslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length,
             uint8_t* out);

}  // namespace zelkit::detail
