#include "security/hash/md5.h"

#include <bit>
#include <cstring>

#include "core/wire/byte_io.h"

namespace zelkit::detail {
namespace {

inline uint32_t md5F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t md5G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t md5H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t md5I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

template <uint32_t (*F)(uint32_t, uint32_t, uint32_t)>
inline void step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t t) {
  a = b + std::rotl(a + F(b, c, d) + x + t, s);
}

void md5Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = readLE32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  step<md5F>(a, b, c, d, x[0], 7, 0xd76aa478);
  step<md5F>(d, a, b, c, x[1], 12, 0xe8c7b756);
  step<md5F>(c, d, a, b, x[2], 17, 0x242070db);
  step<md5F>(b, c, d, a, x[3], 22, 0xc1bdceee);
  step<md5F>(a, b, c, d, x[4], 7, 0xf57c0faf);
  step<md5F>(d, a, b, c, x[5], 12, 0x4787c62a);
  step<md5F>(c, d, a, b, x[6], 17, 0xa8304613);
  step<md5F>(b, c, d, a, x[7], 22, 0xfd469501);
  step<md5F>(a, b, c, d, x[8], 7, 0x698098d8);
  step<md5F>(d, a, b, c, x[9], 12, 0x8b44f7af);
  step<md5F>(c, d, a, b, x[10], 17, 0xffff5bb1);
  step<md5F>(b, c, d, a, x[11], 22, 0x895cd7be);
  step<md5F>(a, b, c, d, x[12], 7, 0x6b901122);
  step<md5F>(d, a, b, c, x[13], 12, 0xfd987193);
  step<md5F>(c, d, a, b, x[14], 17, 0xa679438e);
  step<md5F>(b, c, d, a, x[15], 22, 0x49b40821);

  step<md5G>(a, b, c, d, x[1], 5, 0xf61e2562);
  step<md5G>(d, a, b, c, x[6], 9, 0xc040b340);
  step<md5G>(c, d, a, b, x[11], 14, 0x265e5a51);
  step<md5G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  step<md5G>(a, b, c, d, x[5], 5, 0xd62f105d);
  step<md5G>(d, a, b, c, x[10], 9, 0x02441453);
  step<md5G>(c, d, a, b, x[15], 14, 0xd8a1e681);
  step<md5G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  step<md5G>(a, b, c, d, x[9], 5, 0x21e1cde6);
  step<md5G>(d, a, b, c, x[14], 9, 0xc33707d6);
  step<md5G>(c, d, a, b, x[3], 14, 0xf4d50d87);
  step<md5G>(b, c, d, a, x[8], 20, 0x455a14ed);
  step<md5G>(a, b, c, d, x[13], 5, 0xa9e3e905);
  step<md5G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
  step<md5G>(c, d, a, b, x[7], 14, 0x676f02d9);
  step<md5G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  step<md5H>(a, b, c, d, x[5], 4, 0xfffa3942);
  step<md5H>(d, a, b, c, x[8], 11, 0x8771f681);
  step<md5H>(c, d, a, b, x[11], 16, 0x6d9d6122);
  step<md5H>(b, c, d, a, x[14], 23, 0xfde5380c);
  step<md5H>(a, b, c, d, x[1], 4, 0xa4beea44);
  step<md5H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
  step<md5H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
  step<md5H>(b, c, d, a, x[10], 23, 0xbebfbc70);
  step<md5H>(a, b, c, d, x[13], 4, 0x289b7ec6);
  step<md5H>(d, a, b, c, x[0], 11, 0xeaa127fa);
  step<md5H>(c, d, a, b, x[3], 16, 0xd4ef3085);
  step<md5H>(b, c, d, a, x[6], 23, 0x04881d05);
  step<md5H>(a, b, c, d, x[9], 4, 0xd9d4d039);
  step<md5H>(d, a, b, c, x[12], 11, 0xe6db99e5);
  step<md5H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
  step<md5H>(b, c, d, a, x[2], 23, 0xc4ac5665);

  step<md5I>(a, b, c, d, x[0], 6, 0xf4292244);
  step<md5I>(d, a, b, c, x[7], 10, 0x432aff97);
  step<md5I>(c, d, a, b, x[14], 15, 0xab9423a7);
  step<md5I>(b, c, d, a, x[5], 21, 0xfc93a039);
  step<md5I>(a, b, c, d, x[12], 6, 0x655b59c3);
  step<md5I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
  step<md5I>(c, d, a, b, x[10], 15, 0xffeff47d);
  step<md5I>(b, c, d, a, x[1], 21, 0x85845dd1);
  step<md5I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
  step<md5I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  step<md5I>(c, d, a, b, x[6], 15, 0xa3014314);
  step<md5I>(b, c, d, a, x[13], 21, 0x4e0811a1);
  step<md5I>(a, b, c, d, x[4], 6, 0xf7537e82);
  step<md5I>(d, a, b, c, x[11], 10, 0xbd3af235);
  step<md5I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  step<md5I>(b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void md5Init(Md5Context* ctx) {
  ctx->count[0] = ctx->count[1] = 0;
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
}

void md5Update(Md5Context* ctx, const uint8_t* data, uint32_t length) {
  uint32_t index = (ctx->count[0] >> 3) & 0x3F;
  // The bit count is 64 bits wide; length << 3 loses the top three bits of
  // length into the high word.
  ctx->count[0] += length << 3;
  if (ctx->count[0] < (length << 3)) ctx->count[1]++;
  ctx->count[1] += length >> 29;

  uint32_t done = 0;
  const uint32_t room = 64 - index;
  if (length >= room) {
    std::memcpy(ctx->buffer + index, data, room);
    md5Transform(ctx->state, ctx->buffer);
    for (done = room; done + 63 < length; done += 64) md5Transform(ctx->state, data + done);
    index = 0;
  }
  if (length > done) std::memcpy(ctx->buffer + index, data + done, length - done);
}

void md5Final(uint8_t digest[16], Md5Context* ctx) {
  uint8_t bits[8];
  writeLE32(bits, ctx->count[0]);
  writeLE32(bits + 4, ctx->count[1]);

  static const uint8_t padding[64] = {0x80};
  const uint32_t index = (ctx->count[0] >> 3) & 0x3F;
  md5Update(ctx, padding, index < 56 ? 56 - index : 120 - index);
  md5Update(ctx, bits, 8);

  for (int i = 0; i < 4; ++i) writeLE32(digest + 4 * i, ctx->state[i]);
  std::memset(ctx, 0, sizeof *ctx);
}

}  // namespace zelkit::detail
