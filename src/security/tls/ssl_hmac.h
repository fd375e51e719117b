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

// The SHA-1 words after the inner pad and after the outer pad of one key:
// every MAC under the key starts from them, so a record hashes no pad.
struct SslSha1Pads {
  uint32_t inner[5];
  uint32_t outer[5];
};

class SslHmac {
 public:
  SslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength);
  // A SHA-1 MAC under the key whose pads these are.
  explicit SslHmac(const SslSha1Pads& pads);
  void update(const uint8_t* data, uint32_t length);
  // Writes digestLength() bytes.
  void finish(uint8_t* out);
  uint32_t digestLength() const { return hash_ == SslHash::Md5 ? kMd5Length : kSha1Length; }
  // SHA-1 before any update: the pads of its key, to start later MACs from.
  SslSha1Pads sha1Pads() const;
  // SHA-1 only: the inner hash, for a caller that compresses whole blocks
  // into its words itself while no partial block is pending, and counts
  // them with sha1CountCompressedBlocks.
  Sha1Context& innerSha1() { return inner_.sha1; }

 private:
  struct State {
    Md5Context md5;
    Sha1Context sha1;
  };
  void start(State& state);
  void feed(State& state, const uint8_t* data, uint32_t length);
  void result(State& state, uint8_t* out);

  SslHash hash_;
  State inner_;  // the inner pad fed, then the message
  State outer_;  // the outer pad fed
};

// out = HMAC(key, data), digest-length bytes.
void sslHmac(SslHash hash, const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length,
             uint8_t* out);

}  // namespace zelkit::detail
