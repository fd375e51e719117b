#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/cpu_features.h"
#include "security/cipher/crypt.h"
#include "security/key_fixtures.h"
#include "security/rsa/random.h"
#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_hmac.h"

namespace zelkit::detail {
namespace {

using test::Bytes;

constexpr uint8_t kApplicationData = 23;

// One direction's keys of a suite, as both ends of a connection hold them.
struct Direction {
  const CipherSuiteEntry* suite;
  uint8_t keyBlock[128];
  SslCipherState writer{};
  SslCipherState reader{};

  // Random keys, or those of `keys` (128 bytes) for a twin of a direction.
  explicit Direction(uint32_t id, const uint8_t* keys = nullptr) : suite(sslFindCipherSuite(id)) {
    if (keys != nullptr) {
      std::memcpy(keyBlock, keys, sizeof keyBlock);
    } else {
      randomBytes(keyBlock, sizeof keyBlock);
    }
    setup(&writer);
    setup(&reader);
    // Each side runs its own copy of the IV.
    std::memcpy(ivCopy, keyBlock + 40, 16);
    reader.readIv = ivCopy;
  }
  ~Direction() {
    sslReleaseCbcSuite(&writer);
    sslReleaseCbcSuite(&reader);
  }
  // New random keys in the same key block, the ciphers made again; the
  // sequence numbers run on.
  void rekey() {
    randomBytes(keyBlock, sizeof keyBlock);
    sslReleaseCbcSuite(&writer);
    sslReleaseCbcSuite(&reader);
    setup(&writer);
    setup(&reader);
    std::memcpy(ivCopy, keyBlock + 40, 16);
    reader.readIv = ivCopy;
  }
  void setup(SslCipherState* state) {
    state->macLength = suite->macLength;
    state->keyLength = suite->keyLength;
    state->ivLength = suite->ivLength;
    state->writeMacSecret = state->readMacSecret = keyBlock;
    state->writeKey = state->readKey = keyBlock + 20;
    state->writeIv = state->readIv = keyBlock + 40;
    ASSERT_EQ(sslSetupCbcSuite(state, suite->id), 0);
    state->recordType = kApplicationData;
  }
  const uint8_t* macSecret() const { return keyBlock; }
  const uint8_t* key() const { return keyBlock + 20; }

  uint8_t ivCopy[16];
};

Bytes opensslRecord(const Direction& d, uint64_t sequence, const Bytes& plaintext, const Bytes& iv) {
  Bytes macInput;
  for (int i = 7; i >= 0; --i) macInput.push_back(static_cast<uint8_t>(sequence >> (8 * i)));
  macInput.insert(macInput.end(), {kApplicationData, 3, 1, static_cast<uint8_t>(plaintext.size() >> 8),
                                   static_cast<uint8_t>(plaintext.size())});
  macInput.insert(macInput.end(), plaintext.begin(), plaintext.end());
  const auto macHex = test::runTool("openssl mac -digest SHA1 -macopt hexkey:" + test::toHex(d.macSecret(), 20) +
                                        " HMAC", macInput);
  EXPECT_TRUE(macHex.has_value());
  const Bytes macText = macHex.value_or(Bytes{});
  const Bytes mac = test::fromHex(std::string(macText.begin(), macText.end()));
  Bytes record = plaintext;
  record.insert(record.end(), mac.begin(), mac.end());
  const size_t block = d.suite->ivLength;
  const uint8_t padding = static_cast<uint8_t>((block - (record.size() + 1) % block) % block);
  record.insert(record.end(), padding + 1u, padding);
  const std::string cipher = d.suite->id == kSuiteAes128CbcSha
                                 ? "-aes-128-cbc"
                                 : "-des-cbc -provider legacy -provider default";
  const auto encrypted = test::runTool("openssl enc " + cipher + " -nopad -K " +
                                           test::toHex(d.key(), d.suite->keyLength) + " -iv " + test::toHex(iv),
                                       record);
  EXPECT_TRUE(encrypted.has_value());
  return encrypted.value_or(Bytes{});
}

class TlsRecordProtection : public ::testing::TestWithParam<uint32_t> {};

// Consecutive records: the sequence number counts and the IV runs on from
// the last cipher block of the record before.
TEST_P(TlsRecordProtection, MatchesOpensslAndOpensAgain) {
  ZELKIT_REQUIRE_TOOL("openssl");
  Direction d(GetParam());
  uint64_t sequence = 0;
  for (size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{300}, size_t{16384}}) {
    SCOPED_TRACE(length);
    Bytes plaintext(length);
    randomBytes(plaintext.data(), static_cast<int>(length));
    const Bytes iv(d.writer.writeIv, d.writer.writeIv + d.suite->ivLength);
    const Bytes expected = opensslRecord(d, sequence++, plaintext, iv);

    Bytes record(length + 64);
    std::copy(plaintext.begin(), plaintext.end(), record.begin());
    const int sealed = sslProtectCbc(record.data(), static_cast<int>(length), static_cast<int>(record.size()),
                                     &d.writer);
    ASSERT_EQ(sealed, static_cast<int>(expected.size()));
    record.resize(static_cast<size_t>(sealed));
    EXPECT_EQ(test::toHex(record), test::toHex(expected));

    ASSERT_EQ(sslOpenCbc(record.data(), sealed, sealed, &d.reader), static_cast<int>(length));
    EXPECT_TRUE(std::equal(plaintext.begin(), plaintext.end(), record.begin()));
  }
}

// Ciphers made again for new keys (a new handshake on the same context)
// seal and open with the new MAC secrets, not with the MAC state of the
// old ones.
TEST_P(TlsRecordProtection, NewKeysMacWithTheNewSecrets) {
  ZELKIT_REQUIRE_TOOL("openssl");
  Direction d(GetParam());
  for (uint64_t sequence = 0; sequence < 3; ++sequence) {
    SCOPED_TRACE(sequence);
    if (sequence > 0) d.rekey();
    Bytes plaintext(100 + 1000 * sequence);
    randomBytes(plaintext.data(), static_cast<int>(plaintext.size()));
    const Bytes iv(d.writer.writeIv, d.writer.writeIv + d.suite->ivLength);
    const Bytes expected = opensslRecord(d, sequence, plaintext, iv);
    Bytes record(plaintext.size() + 64);
    std::copy(plaintext.begin(), plaintext.end(), record.begin());
    const int length = static_cast<int>(plaintext.size());
    const int sealed = sslProtectCbc(record.data(), length, static_cast<int>(record.size()), &d.writer);
    ASSERT_EQ(sealed, static_cast<int>(expected.size()));
    record.resize(static_cast<size_t>(sealed));
    EXPECT_EQ(test::toHex(record), test::toHex(expected));
    EXPECT_EQ(sslOpenCbc(record.data(), sealed, sealed, &d.reader), length);
  }
}

// The processor's AES and SHA instructions and the portable code seal the
// same bytes and open them alike, record after record (the IV and the
// sequence numbers run on), at lengths around the hash and cipher blocks
// and the stretches that sealing hashes ahead.
TEST_P(TlsRecordProtection, InstructionsAndPortableCodeAgree) {
  Direction fast(GetParam());
  Direction portable(GetParam(), fast.keyBlock);
  struct PortableCode {
    PortableCode() { platform::cpuUseInstructionExtensions(false); }
    ~PortableCode() { platform::cpuUseInstructionExtensions(true); }
  };
  const size_t lengths[] = {0,   1,   15,  16,  17,  31,  32,  50,  51,  52,   63,   64,   65,   114,   115,   116,
                            127, 128, 129, 178, 179, 180, 243, 255, 256, 1000, 1024, 4096, 8191, 16000, 16383, 16384};
  for (size_t length : lengths) {
    SCOPED_TRACE(length);
    Bytes plaintext(length);
    randomBytes(plaintext.data(), static_cast<int>(length));
    Bytes byInstructions(length + 64);
    std::copy(plaintext.begin(), plaintext.end(), byInstructions.begin());
    Bytes byPortableCode = byInstructions;
    const int space = static_cast<int>(byInstructions.size());
    const int sealed = sslProtectCbc(byInstructions.data(), static_cast<int>(length), space, &fast.writer);
    {
      PortableCode portableCode;
      ASSERT_EQ(sslProtectCbc(byPortableCode.data(), static_cast<int>(length), space, &portable.writer), sealed);
    }
    ASSERT_GT(sealed, 0);
    EXPECT_EQ(test::toHex(byInstructions), test::toHex(byPortableCode));

    // Each opens the other's record.
    EXPECT_EQ(sslOpenCbc(byPortableCode.data(), sealed, sealed, &fast.reader), static_cast<int>(length));
    {
      PortableCode portableCode;
      EXPECT_EQ(sslOpenCbc(byInstructions.data(), sealed, sealed, &portable.reader), static_cast<int>(length));
    }
    EXPECT_TRUE(std::equal(plaintext.begin(), plaintext.end(), byPortableCode.begin()));
    EXPECT_TRUE(std::equal(plaintext.begin(), plaintext.end(), byInstructions.begin()));
  }
  // Both chains ran on alike.
  EXPECT_EQ(test::toHex(fast.writer.writeIv, fast.suite->ivLength),
            test::toHex(portable.writer.writeIv, portable.suite->ivLength));
}

INSTANTIATE_TEST_SUITE_P(Suites, TlsRecordProtection, ::testing::Values(kSuiteAes128CbcSha, kSuiteDesCbcSha));

// Records sealed by hand, so that padding and MAC can be wrong.
class TlsRecordOpening : public ::testing::Test {
 protected:
  TlsRecordOpening() : d(kSuiteAes128CbcSha) {}

  Bytes seal(Bytes body) {
    std::unique_ptr<C_Cryptlfc> cipher(createCrypt(CryptAes));
    cipher->setKey(d.key(), 0);
    uint8_t iv[16];
    std::memcpy(iv, d.keyBlock + 40, 16);
    for (size_t at = 0; at + 16 <= body.size(); at += 16) {
      for (int i = 0; i < 16; ++i) body[at + i] ^= iv[i];
      cipher->encrypt(body.data() + at, 16);
      std::memcpy(iv, body.data() + at, 16);
    }
    return body;
  }
  // plaintext and its MAC as the first record of the direction.
  Bytes withMac(const Bytes& plaintext) {
    Bytes input = {0, 0, 0, 0, 0, 0, 0, 0, kApplicationData, 3, 1, 0, static_cast<uint8_t>(plaintext.size())};
    input.insert(input.end(), plaintext.begin(), plaintext.end());
    uint8_t mac[20];
    sslHmac(SslHash::Sha1, d.macSecret(), 20, input.data(), static_cast<uint32_t>(input.size()), mac);
    Bytes out = plaintext;
    out.insert(out.end(), mac, mac + 20);
    return out;
  }
  int open(Bytes record) {
    return sslOpenCbc(record.data(), static_cast<int>(record.size()), static_cast<int>(record.size()), &d.reader);
  }

  Direction d;
};

TEST_F(TlsRecordOpening, LongestPaddingOpens) {
  const Bytes plaintext(12, 0x41);  // 12 + 20 + 256 bytes: 18 blocks
  Bytes body = withMac(plaintext);
  body.insert(body.end(), 256, 255);
  EXPECT_EQ(open(seal(body)), 12);
}

// A bad padding and a bad MAC give the same result, and no length goes
// below zero.
TEST_F(TlsRecordOpening, BadPaddingAndBadMacFailAlike) {
  const Bytes plaintext(11, 0x42);
  const Bytes good = withMac(plaintext);  // 31 bytes, one byte of padding 0 makes 32
  struct Case {
    const char* what;
    Bytes body;
    bool encrypt;
    int expected;
  };
  Bytes badMac = good;
  badMac[15] ^= 1;
  Bytes badPadding = withMac(Bytes(10, 0x42));  // 30 bytes + 2 bytes of padding 1
  badPadding.insert(badPadding.end(), {0, 1});
  Bytes longPadding = withMac(Bytes(11, 0x42));
  longPadding.push_back(200);  // padding longer than the record
  const Case cases[] = {
      {"good", [&] { Bytes b = good; b.push_back(0); return b; }(), true, 11},
      {"MAC", [&] { Bytes b = badMac; b.push_back(0); return b; }(), true, SslError::Protocol},
      {"padding byte", badPadding, true, SslError::Protocol},
      {"padding length", longPadding, true, SslError::Protocol},
      {"one block, last byte 0", Bytes(16, 0), true, SslError::Protocol},
      {"no whole block", Bytes(20, 0), false, SslError::General},
      {"empty", Bytes{}, false, SslError::General},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    d.reader.readSequence[7] = 0;
    std::memcpy(d.ivCopy, d.keyBlock + 40, 16);
    EXPECT_EQ(open(c.encrypt ? seal(c.body) : c.body), c.expected);
  }
}

}  // namespace
}  // namespace zelkit::detail
