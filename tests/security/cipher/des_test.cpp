#include <cstring>

#include <gtest/gtest.h>

#include "security/cipher/cipher_support.h"
#include "security/cipher/des.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::fromHex;
using test::toHex;
using test::randomBytes;
using test::encrypted;
using test::decrypted;

C_CryptDES keyed(const Bytes& key, int32_t direction = 0) {
  C_CryptDES cipher;
  cipher.setKey(key.data(), direction);
  return cipher;
}

TEST(Des, KnownAnswers) {
  const struct {
    const char* key;
    const char* plain;
    const char* cipher;
  } vectors[] = {
      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
      {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},  // "Now is t"
      {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},  // variable plaintext
      {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},  // variable key
      {"0101010101010101", "0000000000000000", "8ca64de9c1b123a7"},  // a weak key
  };
  for (const auto& v : vectors) {
    C_CryptDES cipher = keyed(fromHex(v.key));
    EXPECT_EQ(toHex(encrypted(cipher, fromHex(v.plain))), v.cipher) << v.key;
    EXPECT_EQ(toHex(decrypted(cipher, fromHex(v.cipher))), v.plain) << v.key;
  }
}

// Every S-box entry is reached by a few hundred random blocks.
TEST(Des, EcbAgreesWithOpenssl) {
  ZELKIT_REQUIRE_TOOL("openssl");
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    const Bytes key = randomBytes(8, seed);
    const Bytes plain = randomBytes(8 * 256, seed + 100);
    const auto expected = test::opensslEcb("des-ecb", key, plain);
    ASSERT_TRUE(expected) << "openssl des-ecb failed (legacy provider missing?)";
    C_CryptDES cipher = keyed(key);
    EXPECT_EQ(encrypted(cipher, plain), *expected) << "seed " << seed;
    EXPECT_EQ(decrypted(cipher, *expected), plain) << "seed " << seed;
  }
}

TEST(Des, DirectionAndParityBitsDoNotMatter) {
  const Bytes key = randomBytes(8, 21);
  Bytes otherParity = key;
  for (auto& b : otherParity) b ^= 0x01;
  const C_CryptDES reference = keyed(key);
  for (const C_CryptDES& other : {keyed(key, 1), keyed(otherParity, 0), keyed(otherParity, 1)}) {
    EXPECT_EQ(std::memcmp(reference.desSubkeys, other.desSubkeys, sizeof reference.desSubkeys), 0);
  }
}

TEST(Des, BytesAfterTheLastWholeBlockStayUnchanged) {
  C_CryptDES cipher = keyed(randomBytes(8, 31));
  const Bytes plain = randomBytes(12, 32);
  const Bytes out = encrypted(cipher, plain);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), encrypted(cipher, Bytes(plain.begin(), plain.begin() + 8)));
  EXPECT_EQ(Bytes(out.begin() + 8, out.end()), Bytes(plain.begin() + 8, plain.end()));
  EXPECT_EQ(decrypted(cipher, out), plain);
}

TEST(Des, MediaAndAlignedOperationsDoNothing) {
  C_CryptDES cipher = keyed(randomBytes(8, 41));
  C_CryptDES before = cipher;
  const Bytes original = randomBytes(64, 42);
  Bytes buffer = original;
  C_Cryptlfc& asInterface = cipher;
  asInterface.encryptRtp(buffer.data(), 64);
  asInterface.decryptRtp(buffer.data(), 64);
  asInterface.setRtpMasterKey(buffer.data());
  alignas(4) uint8_t aligned[64];
  std::memcpy(aligned, original.data(), 64);
  asInterface.encryptAligned(reinterpret_cast<uint32_t*>(aligned), 64);
  asInterface.decryptAligned(reinterpret_cast<uint32_t*>(aligned), 64);
  EXPECT_EQ(buffer, original);
  EXPECT_EQ(std::memcmp(aligned, original.data(), 64), 0);
  EXPECT_EQ(std::memcmp(before.desSubkeys, cipher.desSubkeys, sizeof before.desSubkeys), 0);
}

}  // namespace
}  // namespace zelkit::detail
