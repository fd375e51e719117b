#include "security/x509/pem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "security/x509/builtin_credentials.h"
#include "security/key_fixtures.h"

namespace zelkit::detail {
namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  int result;
  Bytes bytes;
};

Decoded decode(const std::string& text, bool certificate, uint32_t capacity = 4096) {
  Bytes out(capacity);
  uint32_t length = capacity;
  const int result = pemDecode(out.data(), &length, text.c_str(), certificate);
  out.resize(length);
  return {result, out};
}

std::string withCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

TEST(PemDecode, CertificateMatchesOpenssl) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const std::string file = test::dataPath("selfsigned.pem");
  const auto der = test::runTool("openssl x509 -in " + file + " -outform DER");
  ASSERT_TRUE(der.has_value());
  const std::string pem = test::readText(file);
  for (const std::string& text : {pem, withCrLf(pem), "leading text\n" + pem}) {
    const Decoded d = decode(text, true);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, *der);
  }
  // The certificate marker is not the key's.
  EXPECT_EQ(decode(pem, false).result, -1);
  // Exactly enough room, and one byte too little.
  EXPECT_EQ(decode(pem, true, static_cast<uint32_t>(der->size())).result, 0);
  const Decoded full = decode(pem, true, static_cast<uint32_t>(der->size()) - 1);
  EXPECT_EQ(full.result, -2);
  EXPECT_TRUE(full.bytes.empty());
}

TEST(PemDecode, PrivateKeyMatchesOpenssl) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const std::string file = test::dataPath("rsa512.pem");
  const auto der = test::runTool("openssl rsa -traditional -in " + file + " -outform DER 2>/dev/null");
  ASSERT_TRUE(der.has_value());
  const Decoded d = decode(test::readText(file), false);
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.bytes, *der);
  // A PKCS#8 text has another marker.
  const std::string pkcs8 = test::runText("openssl pkcs8 -topk8 -nocrypt -in " + file);
  EXPECT_EQ(decode(pkcs8, false).result, -1);
}

TEST(PemDecode, Base64Ends) {
  const std::string begin = "-----BEGIN CERTIFICATE-----\n";
  struct Case {
    std::string body;
    int result;
    Bytes bytes;
  };
  const Case cases[] = {
      {"TWFu\n-----END CERTIFICATE-----\n", 0, {'M', 'a', 'n'}},
      {"TWE=\n", 0, {'M', 'a'}},
      {"TQ==\n", 0, {'M'}},
      {"TQ==TWFu", 0, {'M'}},
      {"TW\tF u\x01TWE=", 0, {'M', 'a', 'n', 'M', 'a'}},
      // A last group without its "=": two or three characters are an error, one is dropped.
      {"TWFuTWE\n-----END", -2, {}},
      {"TWFuTQ\n-----END", -2, {}},
      {"TWFuT\n-----END", 0, {'M', 'a', 'n'}},
      {"TWFu\x80", 0, {'M', 'a', 'n'}},
  };
  for (const Case& c : cases) {
    const Decoded d = decode(begin + c.body, true);
    EXPECT_EQ(d.result, c.result) << c.body;
    EXPECT_EQ(d.bytes, c.bytes) << c.body;
  }
  EXPECT_EQ(decode("-----BEGIN CERTIFICATE-----", true).result, -2);
  EXPECT_EQ(decode("-----BEGIN CERTIFICATE-----\r\n\r\n", true).result, -2);
  EXPECT_EQ(decode("no marker", true).result, -1);
}

TEST(PemDecode, BuiltinBodies) {
  uint8_t out[1024];
  uint32_t length = sizeof(out);
  EXPECT_EQ(pemDecodeBody(out, &length, kBuiltinPrivateKeyBody), 0);
  EXPECT_EQ(length, 318u);
  length = sizeof(out);
  EXPECT_EQ(pemDecodeBody(out, &length, kBuiltinCertificateBody), 0);
  EXPECT_GT(length, 300u);
}

}  // namespace
}  // namespace zelkit::detail
