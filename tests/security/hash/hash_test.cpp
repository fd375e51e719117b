#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "security/hash/md5.h"
#include "security/hash/sha1.h"
#include "support/external_tool.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::toHex;

// Feeds the message in pieces of `chunk` bytes (0: all at once).
std::string md5Hex(const Bytes& message, std::size_t chunk = 0) {
  Md5Context ctx;
  md5Init(&ctx);
  const std::size_t step = chunk ? chunk : std::max<std::size_t>(message.size(), 1);
  for (std::size_t at = 0; at < message.size(); at += step) {
    md5Update(&ctx, message.data() + at, static_cast<uint32_t>(std::min(step, message.size() - at)));
  }
  uint8_t digest[16];
  md5Final(digest, &ctx);
  return toHex(digest, sizeof digest);
}

std::string sha1Hex(const Bytes& message, std::size_t chunk = 0) {
  Sha1Context ctx;
  EXPECT_EQ(sha1Reset(&ctx), 0);
  const std::size_t step = chunk ? chunk : std::max<std::size_t>(message.size(), 1);
  for (std::size_t at = 0; at < message.size(); at += step) {
    EXPECT_EQ(sha1Input(&ctx, message.data() + at, static_cast<uint32_t>(std::min(step, message.size() - at))), 0);
  }
  uint8_t digest[20];
  EXPECT_EQ(sha1Result(&ctx, digest), 0);
  return toHex(digest, sizeof digest);
}

Bytes text(const std::string& s, std::size_t repeat = 1) {
  Bytes bytes;
  for (std::size_t i = 0; i < repeat; ++i) bytes.insert(bytes.end(), s.begin(), s.end());
  return bytes;
}

struct Vector {
  Bytes message;
  const char* digest;
};

TEST(Md5, Rfc1321SuiteInOneUpdateAndByteByByte) {
  const Vector vectors[] = {
      {text(""), "d41d8cd98f00b204e9800998ecf8427e"},
      {text("a"), "0cc175b9c0f1b6a831c399e269772661"},
      {text("abc"), "900150983cd24fb0d6963f7d28e17f72"},
      {text("message digest"), "f96b697d7cb7938d525a2f31aaf161d0"},
      {text("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b"},
      {text("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {text("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(md5Hex(v.message), v.digest);
    EXPECT_EQ(md5Hex(v.message, 1), v.digest);
  }
}

TEST(Sha1, Rfc3174SuiteInOneInputAndByteByByte) {
  const Vector vectors[] = {
      {text(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {text("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {text("a", 1000000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {text("0123456701234567012345670123456701234567012345670123456701234567", 10),
       "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(sha1Hex(v.message), v.digest);
    EXPECT_EQ(sha1Hex(v.message, 1), v.digest);
  }
}

// Every length across the padding boundaries (55, 56, 64, 119, 120, 128),
// against Python's hashlib, in one piece and in pieces that straddle blocks.
TEST(Hashes, LengthsUpTo130AgreeWithHashlib) {
  ZELKIT_REQUIRE_TOOL("python3");
  constexpr int maxLength = 130;
  const auto output = test::runTool(
      "python3 -c 'import hashlib\n"
      "for n in range(131):\n"
      " m = bytes((i * 37 + 11) & 255 for i in range(n))\n"
      " print(hashlib.md5(m).hexdigest(), hashlib.sha1(m).hexdigest())'");
  ASSERT_TRUE(output);
  std::string lines(output->begin(), output->end());

  std::size_t at = 0;
  for (int n = 0; n <= maxLength; ++n) {
    const std::size_t end = lines.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "missing line for length " << n;
    const std::string line = lines.substr(at, end - at);
    at = end + 1;
    const std::string md5 = line.substr(0, 32), sha1 = line.substr(33);

    Bytes message(n);
    for (int i = 0; i < n; ++i) message[i] = static_cast<uint8_t>(i * 37 + 11);
    for (std::size_t chunk : {0, 1, 7, 63, 65}) {
      EXPECT_EQ(md5Hex(message, chunk), md5) << "length " << n << " chunk " << chunk;
      EXPECT_EQ(sha1Hex(message, chunk), sha1) << "length " << n << " chunk " << chunk;
    }
  }
}

TEST(Md5, FinalWipesTheContext) {
  Md5Context ctx;
  md5Init(&ctx);
  md5Update(&ctx, reinterpret_cast<const uint8_t*>("abc"), 3);
  uint8_t digest[16];
  md5Final(digest, &ctx);
  const Md5Context zero{};
  EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Sha1, NullArgumentsAndEmptyInput) {
  Sha1Context ctx;
  uint8_t digest[20];
  EXPECT_EQ(sha1Reset(nullptr), 1);
  EXPECT_EQ(sha1Input(nullptr, nullptr, 0), 0);
  EXPECT_EQ(sha1Input(nullptr, digest, 1), 1);
  ASSERT_EQ(sha1Reset(&ctx), 0);
  EXPECT_EQ(sha1Input(&ctx, nullptr, 1), 1);
  EXPECT_EQ(sha1Result(nullptr, digest), 1);
  EXPECT_EQ(sha1Result(&ctx, nullptr), 1);
  // None of the refusals touched the context.
  ASSERT_EQ(sha1Result(&ctx, digest), 0);
  EXPECT_EQ(toHex(digest, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, InputAfterResultSticksUntilReset) {
  Sha1Context ctx;
  uint8_t first[20], again[20];
  sha1Reset(&ctx);
  sha1Input(&ctx, reinterpret_cast<const uint8_t*>("abc"), 3);
  ASSERT_EQ(sha1Result(&ctx, first), 0);
  ASSERT_EQ(sha1Result(&ctx, again), 0);
  EXPECT_EQ(toHex(first, 20), toHex(again, 20));

  EXPECT_EQ(sha1Input(&ctx, first, 1), 3);
  EXPECT_EQ(sha1Result(&ctx, again), 3);
  EXPECT_EQ(sha1Input(&ctx, first, 1), 3);

  ASSERT_EQ(sha1Reset(&ctx), 0);
  EXPECT_EQ(sha1Input(&ctx, reinterpret_cast<const uint8_t*>("abc"), 3), 0);
  EXPECT_EQ(sha1Result(&ctx, again), 0);
  EXPECT_EQ(toHex(again, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, BitLengthOverflowCorruptsTheContext) {
  Sha1Context ctx;
  sha1Reset(&ctx);
  // One byte short of 2^64 bits: the second byte wraps the length.
  ctx.lengthHigh = 0xFFFFFFFF;
  ctx.lengthLow = 0xFFFFFFF0;
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(sha1Input(&ctx, data, 3), 0);
  EXPECT_EQ(ctx.corrupted, 1);
  EXPECT_EQ(ctx.messageBlockIndex, 2);
  EXPECT_EQ(ctx.lengthHigh, 0u);
  EXPECT_EQ(ctx.lengthLow, 0u);
  uint8_t digest[20];
  EXPECT_EQ(sha1Result(&ctx, digest), 1);
  EXPECT_EQ(sha1Input(&ctx, data, 1), 1);
}

}  // namespace
}  // namespace zelkit::detail
