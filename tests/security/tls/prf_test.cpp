#include "security/tls/ssl_prf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "security/key_fixtures.h"
#include "security/rsa/random.h"

namespace zelkit::detail {
namespace {

using test::Bytes;

// openssl's TLS1-PRF with the MD5+SHA1 digest is the TLS 1.0 PRF.
Bytes opensslPrf(const Bytes& secret, const std::string& label, const Bytes& seed, int length) {
  const std::string text = test::runText("openssl kdf -keylen " + std::to_string(length) +
                                         " -kdfopt digest:MD5-SHA1 -kdfopt hexsecret:" + test::toHex(secret) +
                                         " -kdfopt seed:\"" + label + "\" -kdfopt hexseed:" + test::toHex(seed) +
                                         " TLS1-PRF");
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  return test::fromHex(hex);
}

Bytes randomBytesOf(size_t count) {
  Bytes bytes(count);
  randomBytes(bytes.data(), static_cast<int>(count));
  return bytes;
}

TEST(TlsPrf, AgreesWithOpenssl) {
  ZELKIT_REQUIRE_TOOL("openssl");
  struct Case {
    int secretLength;  // 47: the halves share the middle byte
    const char* label;
    int seedLength;
    int outputLength;
  };
  const Case cases[] = {
      {48, "client finished", 36, 12}, {48, "server finished", 36, 12}, {47, "client finished", 36, 12},
      {48, "master secret", 64, 48},   {47, "master secret", 64, 48},   {48, "key expansion", 64, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.label) + " secret " + std::to_string(c.secretLength));
    const Bytes secret = randomBytesOf(static_cast<size_t>(c.secretLength));
    const Bytes seed = randomBytesOf(static_cast<size_t>(c.seedLength));
    Bytes ours(static_cast<size_t>(c.outputLength));
    ASSERT_EQ(sslPrf(secret.data(), c.secretLength, c.label, static_cast<int>(std::strlen(c.label)), seed.data(),
                     c.seedLength, c.outputLength, ours.data()),
              0);
    EXPECT_EQ(test::toHex(ours), test::toHex(opensslPrf(secret, c.label, seed, c.outputLength)));
  }
}

TEST(TlsPrf, RefusesLengthsPastItsBuffers) {
  uint8_t secret[48] = {};
  uint8_t seed[200] = {};
  uint8_t out[201];
  EXPECT_EQ(sslPrf(secret, 48, "ab", 2, seed, 198, 12, out), 0);
  EXPECT_EQ(sslPrf(secret, 48, "abc", 3, seed, 198, 12, out), -1);  // label + seed above 200
  EXPECT_EQ(sslPrf(secret, 48, "ab", 2, seed, 10, 201, out), -1);
  EXPECT_EQ(sslPrf(secret, 48, "ab", 2, seed, 10, 0, out), -1);
}

}  // namespace
}  // namespace zelkit::detail
