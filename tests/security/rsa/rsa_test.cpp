#include "security/rsa/rsa.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "security/rsa/random.h"
#include "security/key_fixtures.h"

namespace zelkit::detail {
namespace {

using test::PrivateKey;

std::vector<uint8_t> toBytes(const BigNum& value, int32_t size) {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  EXPECT_EQ(bigNumToBytes(bytes.data(), &value, size, true), size);
  return bytes;
}

BigNum fromBytes(const std::vector<uint8_t>& bytes) {
  BigNum value;
  EXPECT_EQ(bigNumFromBytes(&value, bytes.data(), static_cast<int32_t>(bytes.size()), true), 0);
  return value;
}

int32_t modulusBytes(const KeyRecord& key) { return (key.first.bits + 7) / 8; }

// Public half of a private key as a certificate would give it.
KeyRecord publicKeyOf(const PrivateKey& key) {
  KeyRecord record{};
  bigNumCopy(&record.first, &key.record.first);
  bigNumCopy(&record.second, &key.crt.publicExponent);
  return record;
}

// A random value below the modulus: the top byte is cleared.
std::vector<uint8_t> randomBelowModulus(const KeyRecord& key) {
  std::vector<uint8_t> bytes(static_cast<size_t>(modulusBytes(key)));
  randomBytes(bytes.data(), static_cast<int>(bytes.size()));
  bytes[0] = 0;
  return bytes;
}

class RsaWithOpenssl : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ZELKIT_REQUIRE_TOOL("openssl");
    keyFile_ = test::dataPath("rsa" + std::to_string(GetParam()) + ".pem");
    test::loadPrivateKey(keyFile_, &key_);
    ASSERT_EQ(key_.record.first.bits, GetParam());
    ASSERT_EQ(key_.record.fieldsFound, 2u);
    ASSERT_EQ(key_.crt.fieldsFound, kRsaCrtFields);
  }

  // openssl pkeyutl with the key, over input; its output.
  std::vector<uint8_t> pkeyutl(const std::string& options, const std::vector<uint8_t>& input) {
    const auto output = test::runTool("openssl pkeyutl " + options + " -inkey " + keyFile_ + " 2>/dev/null", input);
    EXPECT_TRUE(output.has_value()) << options;
    return output.value_or(std::vector<uint8_t>{});
  }

  PrivateKey key_;
  std::string keyFile_;
};

TEST_P(RsaWithOpenssl, RawExponentiationMatches) {
  const int32_t k = modulusBytes(key_.record);
  const std::vector<uint8_t> input = randomBelowModulus(key_.record);
  const BigNum value = fromBytes(input);

  BigNum plain;
  BigNum fast;
  BigNum encrypted;
  ASSERT_EQ(bigNumModExp(&value, &key_.record.second, &key_.record.first, &plain), 0);
  rsaPrivateOperation(&key_.record, &value, &fast);
  ASSERT_EQ(bigNumModExp(&value, &key_.crt.publicExponent, &key_.record.first, &encrypted), 0);

  const std::vector<uint8_t> decrypted = pkeyutl("-decrypt -pkeyopt rsa_padding_mode:none", input);
  EXPECT_EQ(toBytes(plain, k), decrypted);
  EXPECT_EQ(toBytes(fast, k), decrypted);
  EXPECT_EQ(toBytes(encrypted, k), pkeyutl("-encrypt -pkeyopt rsa_padding_mode:none", input));
}

TEST_P(RsaWithOpenssl, OurEncryptionDecryptsWithOpenssl) {
  const int32_t k = modulusBytes(key_.record);
  const KeyRecord publicKey = publicKeyOf(key_);
  std::vector<uint8_t> secret(kPreMasterLength);
  randomBytes(secret.data(), kPreMasterLength);

  std::vector<uint8_t> cipher(static_cast<size_t>(k));
  int32_t length = k;
  ASSERT_EQ(rsaEncrypt(&publicKey, secret.data(), kPreMasterLength, cipher.data(), &length), 0);
  ASSERT_LE(length, k);
  // The shortest form is produced; openssl wants the modulus length.
  cipher.resize(static_cast<size_t>(length));
  cipher.insert(cipher.begin(), static_cast<size_t>(k - length), 0);

  EXPECT_EQ(pkeyutl("-decrypt", cipher), secret);
  // 00 02, k - 51 non-zero padding bytes, 00, the secret.
  const std::vector<uint8_t> block = pkeyutl("-decrypt -pkeyopt rsa_padding_mode:none", cipher);
  ASSERT_EQ(block.size(), static_cast<size_t>(k));
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[1], 2);
  for (int32_t i = 2; i < k - 49; ++i) EXPECT_NE(block[static_cast<size_t>(i)], 0) << "padding byte " << i;
  EXPECT_EQ(block[static_cast<size_t>(k - 49)], 0);
}

TEST_P(RsaWithOpenssl, OpensslEncryptionDecryptsWithUs) {
  std::vector<uint8_t> secret(kPreMasterLength);
  randomBytes(secret.data(), kPreMasterLength);
  const std::vector<uint8_t> cipher = pkeyutl("-encrypt", secret);

  for (RsaCrtKey* crt : {&key_.crt, static_cast<RsaCrtKey*>(nullptr)}) {
    KeyRecord privateKey = key_.record;
    privateKey.crt = crt;
    uint8_t out[kPreMasterLength];
    int32_t length = sizeof(out);
    ASSERT_EQ(rsaDecrypt(&privateKey, cipher.data(), static_cast<int32_t>(cipher.size()), out, &length), 0);
    EXPECT_EQ(length, kPreMasterLength);
    EXPECT_EQ(std::vector<uint8_t>(out, out + length), secret) << (crt ? "with CRT" : "plain");
  }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, RsaWithOpenssl, ::testing::Values(512, 1024, 2048, 4096));

// Keys whose CRT parts do not belong to them, or whose modulus is no RSA
// modulus, still give c^d mod n.
TEST(RsaPrivateOperation, BrokenKeysFallBackToTheExponent) {
  struct Case {
    const char* what;
    const char* modulus;  // hex; empty: the key's own
  };
  const Case cases[] = {{"wrong CRT exponent", ""}, {"even modulus", "123456789abcdef0"}, {"modulus 1", "01"}};
  for (const Case& c : cases) {
    PrivateKey key;
    test::loadPrivateKey(test::dataPath("rsa1024.pem"), &key);
    bigNumSetWord(&key.crt.exponent1, 12345);
    if (*c.modulus != 0) key.record.first = fromBytes(test::fromHex(c.modulus));
    const BigNum value = fromBytes(randomBelowModulus(key.record));
    BigNum expected;
    BigNum got;
    bigNumModExp(&value, &key.record.second, &key.record.first, &expected);
    rsaPrivateOperation(&key.record, &value, &got);
    EXPECT_EQ(bigNumCompare(&got, &expected), 0) << c.what;
  }
}

class RsaEdgeCases : public ::testing::Test {
 protected:
  void SetUp() override { test::loadPrivateKey(test::dataPath("rsa512.pem"), &key_); }

  // The raw encryption of a hand-made block, as a peer would send it.
  std::vector<uint8_t> encryptBlock(const std::vector<uint8_t>& block) {
    const BigNum value = fromBytes(block);
    BigNum cipher;
    bigNumModExp(&value, &key_.crt.publicExponent, &key_.record.first, &cipher);
    return toBytes(cipher, modulusBytes(key_.record));
  }

  PrivateKey key_;
};

TEST_F(RsaEdgeCases, EncryptionRefusals) {
  uint8_t secret[kPreMasterLength + 1] = {};
  uint8_t out[600];
  int32_t length = sizeof(out);
  const KeyRecord publicKey = publicKeyOf(key_);
  EXPECT_EQ(rsaEncrypt(&publicKey, secret, 47, out, &length), -2);
  EXPECT_EQ(rsaEncrypt(&publicKey, secret, 49, out, &length), -2);

  // 59 bytes leave exactly 48 for the secret; 58 do not.
  struct Case {
    int bits;
    int result;
  };
  for (const Case c : {Case{472, 0}, Case{464, -3}, Case{4096, 0}, Case{4104, -3}}) {
    KeyRecord key{};
    std::vector<uint8_t> modulus(static_cast<size_t>(c.bits / 8), 0xC5);
    bigNumFromBytes(&key.first, modulus.data(), static_cast<int32_t>(modulus.size()), true);
    bigNumSetWord(&key.second, 65537);
    length = sizeof(out);
    EXPECT_EQ(rsaEncrypt(&key, secret, kPreMasterLength, out, &length), c.result) << c.bits << " bits";
  }

  // An output buffer too small for the cipher text.
  length = 10;
  EXPECT_EQ(rsaEncrypt(&publicKey, secret, kPreMasterLength, out, &length), -3);
  EXPECT_EQ(length, 0);
}

TEST_F(RsaEdgeCases, FourHundredSeventyTwoBitKeyRoundTrips) {
  PrivateKey key;
  test::loadPrivateKey(test::dataPath("rsa472.pem"), &key);
  ASSERT_EQ(key.record.first.bits, 472);
  const KeyRecord publicKey = publicKeyOf(key);
  uint8_t secret[kPreMasterLength];
  randomBytes(secret, sizeof(secret));
  uint8_t cipher[59];
  int32_t length = sizeof(cipher);
  ASSERT_EQ(rsaEncrypt(&publicKey, secret, kPreMasterLength, cipher, &length), 0);
  uint8_t out[kPreMasterLength];
  int32_t outLength = sizeof(out);
  ASSERT_EQ(rsaDecrypt(&key.record, cipher, length, out, &outLength), 0);
  EXPECT_EQ(std::memcmp(out, secret, sizeof(secret)), 0);
}

TEST_F(RsaEdgeCases, DecryptionChecksTheBlock) {
  const size_t k = static_cast<size_t>(modulusBytes(key_.record));
  std::vector<uint8_t> good(k, 0x5A);
  good[0] = 0;
  good[1] = 2;
  good[k - 49] = 0;

  struct Case {
    const char* name;
    size_t position;
    uint8_t value;
    size_t zeroPrefix;
    int result;
  };
  const Case cases[] = {
      {"well formed", 0, 0, 0, 0},
      {"separator not zero", k - 49, 0x01, 0, -4},
      {"block type 1", 1, 0x01, 0, -4},
      {"leading byte not zero", 0, 0x01, 0, -4},
      {"eight padding bytes", 6, 0x02, 6, 0},
      {"seven padding bytes", 7, 0x02, 7, -3},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> block = good;
    std::fill(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(c.zeroPrefix), 0);
    block[c.position] = c.value;
    const std::vector<uint8_t> cipher = encryptBlock(block);
    uint8_t out[kPreMasterLength];
    int32_t length = sizeof(out);
    EXPECT_EQ(rsaDecrypt(&key_.record, cipher.data(), static_cast<int32_t>(cipher.size()), out, &length), c.result)
        << c.name;
    if (c.result == 0) {
      EXPECT_EQ(std::vector<uint8_t>(out, out + length), std::vector<uint8_t>(good.end() - 48, good.end()));
    }
  }
}

TEST_F(RsaEdgeCases, DecryptionRefusals) {
  std::vector<uint8_t> cipher(529, 1);
  uint8_t out[kPreMasterLength];
  int32_t length = sizeof(out);
  EXPECT_EQ(rsaDecrypt(&key_.record, cipher.data(), 529, out, &length), -2);
  length = kPreMasterLength - 1;
  EXPECT_EQ(rsaDecrypt(&key_.record, cipher.data(), 64, out, &length), -3);
}

}  // namespace
}  // namespace zelkit::detail

namespace zelkit::detail {
namespace {

// Blinding pairs are squared from one operation to the next and redrawn
// after kRsaBlindingUses; every pair must still undo itself (r^e * r^-e = 1),
// or the CRT result would be wrong and only its check would save it.
TEST(RsaPrivateOperation, BlindingPairsStayInverse) {
  PrivateKey key;
  test::loadPrivateKey(test::dataPath("rsa1024.pem"), &key);
  const BigNum* modulus = &key.record.first;
  const std::vector<uint8_t> input = randomBelowModulus(key.record);
  const BigNum value = fromBytes(input);
  BigNum expected;
  ASSERT_EQ(bigNumModExp(&value, &key.record.second, modulus, &expected), 0);
  for (uint32_t i = 0; i < kRsaBlindingUses + 8; ++i) {
    SCOPED_TRACE(i);
    BigNum result;
    rsaPrivateOperation(&key.record, &value, &result);
    EXPECT_EQ(bigNumCompare(&result, &expected), 0);
    EXPECT_EQ(key.crt.blinding.remaining, kRsaBlindingUses - 1 - i % kRsaBlindingUses);
    BigNum undone;
    ASSERT_EQ(bigNumModExp(&key.crt.blinding.unblind, &key.crt.publicExponent, modulus, &undone), 0);
    bigNumMultiply(&undone, &key.crt.blinding.blind, &undone);
    bigNumMod(&undone, modulus, &undone);
    BigNum one;
    bigNumSetWord(&one, 1);
    EXPECT_EQ(bigNumCompare(&undone, &one), 0);
  }
}

}  // namespace
}  // namespace zelkit::detail
