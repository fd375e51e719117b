#include "security/hash/sha1.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/wire/byte_io.h"
#include "security/hash/sha1_blocks.h"

namespace zelkit::detail {
namespace {

inline uint32_t choose(uint32_t b, uint32_t c, uint32_t d) { return (b & c) | (~b & d); }
inline uint32_t parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t majority(uint32_t b, uint32_t c, uint32_t d) { return (b & c) | (b & d) | (c & d); }

// One step with the roles of a to e passed in rotated order, so that five
// consecutive steps need no moves between the working variables.
template <uint32_t (*F)(uint32_t, uint32_t, uint32_t), uint32_t K>
inline void step(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
  e += std::rotl(a, 5) + F(b, c, d) + K + w;
  b = std::rotl(b, 30);
}

template <uint32_t (*F)(uint32_t, uint32_t, uint32_t), uint32_t K>
inline void twentySteps(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t w[16], int t) {
  // The message schedule kept as a window of its last 16 words.
  auto word = [w](int i) {
    if (i < 16) return w[i];
    const uint32_t v = std::rotl(w[(i - 3) & 15] ^ w[(i - 8) & 15] ^ w[(i - 14) & 15] ^ w[i & 15], 1);
    w[i & 15] = v;
    return v;
  };
  for (int end = t + 20; t < end; t += 5) {
    step<F, K>(a, b, c, d, e, word(t));
    step<F, K>(e, a, b, c, d, word(t + 1));
    step<F, K>(d, e, a, b, c, word(t + 2));
    step<F, K>(c, d, e, a, b, word(t + 3));
    step<F, K>(b, c, d, e, a, word(t + 4));
  }
}

void plainBlock(uint32_t hash[5], const uint8_t block[64]) {
  uint32_t w[16];
  for (int t = 0; t < 16; ++t) w[t] = readBE32(block + 4 * t);
  uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3], e = hash[4];
  twentySteps<choose, 0x5A827999>(a, b, c, d, e, w, 0);
  twentySteps<parity, 0x6ED9EBA1>(a, b, c, d, e, w, 20);
  twentySteps<majority, 0x8F1BBCDC>(a, b, c, d, e, w, 40);
  twentySteps<parity, 0xCA62C1D6>(a, b, c, d, e, w, 60);
  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
}

void compress(uint32_t hash[5], const uint8_t* blocks, uint32_t count) {
  if (sha1InstructionsAvailable()) {
    sha1InstructionsBlocks(hash, blocks, count);
  } else {
    sha1PlainBlocks(hash, blocks, count);
  }
}

// Appends bytes to the pending block, processing each block that fills.
void appendBytes(Sha1Context* ctx, const uint8_t* data, uint32_t length) {
  uint32_t index = static_cast<uint32_t>(ctx->messageBlockIndex);
  if (index > 0) {
    const uint32_t take = std::min(length, 64 - index);
    std::memcpy(ctx->messageBlock + index, data, take);
    data += take;
    length -= take;
    index += take;
    if (index < 64) {
      ctx->messageBlockIndex = static_cast<int32_t>(index);
      return;
    }
    compress(ctx->intermediateHash, ctx->messageBlock, 1);
  }
  compress(ctx->intermediateHash, data, length / 64);
  data += length / 64 * 64;
  length %= 64;
  if (length > 0) std::memcpy(ctx->messageBlock, data, length);
  ctx->messageBlockIndex = static_cast<int32_t>(length);
}

}  // namespace

void sha1PlainBlocks(uint32_t hash[5], const uint8_t* blocks, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) plainBlock(hash, blocks + 64 * i);
}

int32_t sha1Reset(Sha1Context* ctx) {
  if (!ctx) return Sha1Null;
  ctx->lengthLow = ctx->lengthHigh = 0;
  ctx->messageBlockIndex = 0;
  ctx->intermediateHash[0] = 0x67452301;
  ctx->intermediateHash[1] = 0xEFCDAB89;
  ctx->intermediateHash[2] = 0x98BADCFE;
  ctx->intermediateHash[3] = 0x10325476;
  ctx->intermediateHash[4] = 0xC3D2E1F0;
  ctx->computed = 0;
  ctx->corrupted = 0;
  return Sha1Success;
}

int32_t sha1Input(Sha1Context* ctx, const uint8_t* data, uint32_t length) {
  if (length == 0) return Sha1Success;
  if (!ctx || !data) return Sha1Null;
  if (ctx->computed) {
    ctx->corrupted = Sha1StateError;
    return Sha1StateError;
  }
  if (ctx->corrupted) return ctx->corrupted;

  // Bytes that fit before the 64-bit bit length wraps; the byte that makes
  // it wrap is still taken, then the context is marked corrupted.
  const uint64_t bits = static_cast<uint64_t>(ctx->lengthHigh) << 32 | ctx->lengthLow;
  const uint64_t untilWrap = bits == 0 ? UINT64_MAX : (0 - bits + 7) / 8;
  const uint32_t taken = untilWrap < length ? static_cast<uint32_t>(untilWrap) : length;
  appendBytes(ctx, data, taken);
  const uint64_t newBits = bits + static_cast<uint64_t>(taken) * 8;
  ctx->lengthLow = static_cast<uint32_t>(newBits);
  ctx->lengthHigh = static_cast<uint32_t>(newBits >> 32);
  if (taken == untilWrap) ctx->corrupted = Sha1InputTooLong;
  return Sha1Success;
}

void sha1CountCompressedBlocks(Sha1Context* ctx, uint32_t count) {
  const uint64_t bits = (static_cast<uint64_t>(ctx->lengthHigh) << 32 | ctx->lengthLow) + uint64_t{count} * 512;
  ctx->lengthLow = static_cast<uint32_t>(bits);
  ctx->lengthHigh = static_cast<uint32_t>(bits >> 32);
}

int32_t sha1Result(Sha1Context* ctx, uint8_t digest[20]) {
  if (!ctx || !digest) return Sha1Null;
  if (ctx->corrupted) return ctx->corrupted;
  if (!ctx->computed) {
    uint32_t index = static_cast<uint32_t>(ctx->messageBlockIndex);
    ctx->messageBlock[index++] = 0x80;
    if (index > 56) {
      std::memset(ctx->messageBlock + index, 0, 64 - index);
      compress(ctx->intermediateHash, ctx->messageBlock, 1);
      index = 0;
    }
    std::memset(ctx->messageBlock + index, 0, 56 - index);
    writeBE32(ctx->messageBlock + 56, ctx->lengthHigh);
    writeBE32(ctx->messageBlock + 60, ctx->lengthLow);
    compress(ctx->intermediateHash, ctx->messageBlock, 1);

    std::memset(ctx->messageBlock, 0, sizeof ctx->messageBlock);
    ctx->messageBlockIndex = 0;
    ctx->lengthLow = ctx->lengthHigh = 0;
    ctx->computed = 1;
  }
  for (int i = 0; i < 5; ++i) writeBE32(digest + 4 * i, ctx->intermediateHash[i]);
  return Sha1Success;
}

}  // namespace zelkit::detail
