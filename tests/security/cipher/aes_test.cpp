#include <cstring>

#include <gtest/gtest.h>

#include "security/cipher/cipher_support.h"
#include "security/cipher/aes.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::fromHex;
using test::toHex;
using test::randomBytes;
using test::encrypted;
using test::decrypted;

TEST(Aes, Fips197ExampleBothDirections) {
  const Bytes key = fromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes plain = fromHex("00112233445566778899aabbccddeeff");
  const std::string cipherHex = "69c4e0d86a7b0430d8cdb78070b4c55a";

  C_CryptAES encryptor, decryptor;
  encryptor.setKey(key.data(), 0);
  decryptor.setKey(key.data(), 1);
  EXPECT_EQ(toHex(encrypted(encryptor, plain)), cipherHex);
  EXPECT_EQ(decrypted(decryptor, fromHex(cipherHex)), plain);
  // The round keys serve one direction only.
  EXPECT_NE(decrypted(encryptor, fromHex(cipherHex)), plain);
}

// Many blocks under several keys against openssl, both directions, on
// aligned and odd buffer addresses.
TEST(Aes, EcbAgreesWithOpensslAtAnyAddress) {
  ZELKIT_REQUIRE_TOOL("openssl");
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    const Bytes key = randomBytes(16, seed);
    const Bytes plain = randomBytes(16 * 64, seed + 100);
    const auto expected = test::opensslEcb("aes-128-ecb", key, plain);
    ASSERT_TRUE(expected);

    C_CryptAES encryptor, decryptor;
    encryptor.setKey(key.data(), 0);
    decryptor.setKey(key.data(), 1);
    EXPECT_EQ(encrypted(encryptor, plain), *expected) << "seed " << seed;
    EXPECT_EQ(decrypted(decryptor, *expected), plain) << "seed " << seed;

    for (std::size_t offset : {1, 2, 3}) {
      Bytes shifted(plain.size() + offset);
      std::memcpy(shifted.data() + offset, plain.data(), plain.size());
      encryptor.encrypt(shifted.data() + offset, static_cast<uint32_t>(plain.size()));
      EXPECT_EQ(Bytes(shifted.begin() + offset, shifted.end()), *expected) << "offset " << offset;
      decryptor.decrypt(shifted.data() + offset, static_cast<uint32_t>(plain.size()));
      EXPECT_EQ(Bytes(shifted.begin() + offset, shifted.end()), plain) << "offset " << offset;
    }
  }
}

TEST(Aes, BytesAfterTheLastWholeBlockStayUnchanged) {
  const Bytes key = randomBytes(16, 7);
  C_CryptAES encryptor, decryptor;
  encryptor.setKey(key.data(), 0);
  decryptor.setKey(key.data(), 1);
  const Bytes block = randomBytes(16, 8);
  const Bytes blockCipher = encrypted(encryptor, block);
  for (std::size_t offset : {0, 1}) {
    Bytes data(offset + 20);
    const Bytes plain = randomBytes(20, 9);
    std::memcpy(data.data() + offset, plain.data(), 20);
    std::memcpy(data.data() + offset, block.data(), 16);
    encryptor.encrypt(data.data() + offset, 20);
    EXPECT_EQ(Bytes(data.begin() + offset, data.begin() + offset + 16), blockCipher);
    EXPECT_EQ(Bytes(data.begin() + offset + 16, data.end()), Bytes(plain.begin() + 16, plain.end()));
  }
  Bytes shortBuffer = randomBytes(15, 10);
  EXPECT_EQ(encrypted(encryptor, shortBuffer), shortBuffer);
  EXPECT_EQ(decrypted(decryptor, shortBuffer), shortBuffer);
}

TEST(Aes, UnknownDirectionLeavesTheRoundKeys) {
  const Bytes key = randomBytes(16, 11), other = randomBytes(16, 12);
  C_CryptAES cipher;
  cipher.setKey(key.data(), 0);
  uint32_t before[44];
  std::memcpy(before, cipher.roundKeys, sizeof before);
  for (int32_t direction : {2, -1}) {
    cipher.setKey(other.data(), direction);
    EXPECT_EQ(std::memcmp(before, cipher.roundKeys, sizeof before), 0) << "direction " << direction;
  }
}

}  // namespace
}  // namespace zelkit::detail
