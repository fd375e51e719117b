#include <algorithm>
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

// The master salt shared by every peer that exchanges encrypted media.
const Bytes masterSalt = fromHex("3c915ea708d46b12f32e874db069");
const Bytes masterKey = fromHex("e1f97a0d3e018be0d64fa32c06de4139");
// V=2, marker, payload type 96, sequence 0x1234, timestamp 0x0000ABCD,
// SSRC 0x11223344.
const Bytes rtpHeader = fromHex("80e01234 0000abcd 11223344");

Bytes packetOf(std::size_t length, uint32_t seed = 1) {
  Bytes packet = randomBytes(length, seed);
  std::copy(rtpHeader.begin(), rtpHeader.begin() + std::min<std::size_t>(12, length), packet.begin());
  return packet;
}

struct SessionKeys {
  Bytes key;   // 16 bytes
  Bytes salt;  // 16 bytes, the last two zero
};

// RFC 3711 AES-CM key derivation, rate 0, by openssl: labels 0 and 2 at
// salt byte 7, the 14-byte salt widened by two zero bytes.
std::optional<SessionKeys> deriveWithOpenssl() {
  Bytes input = masterSalt;
  input.resize(16);
  Bytes saltInput = input;
  saltInput[7] ^= 0x02;
  input.insert(input.end(), saltInput.begin(), saltInput.end());
  const auto out = test::opensslEcb("aes-128-ecb", masterKey, input);
  if (!out) return std::nullopt;
  SessionKeys keys{Bytes(out->begin(), out->begin() + 16), Bytes(out->begin() + 16, out->begin() + 30)};
  keys.salt.resize(16);
  return keys;
}

// Counter block b of a packet: the salt XOR the SSRC little-endian, the
// timestamp's low 16 bits and b mod 128.
Bytes counterBlock(const Bytes& salt, const Bytes& packet, uint32_t b) {
  Bytes v = salt;
  for (int i = 0; i < 4; ++i) v[i] ^= packet[11 - i];
  v[13] ^= packet[6];
  v[14] ^= packet[7];
  v[15] ^= static_cast<uint8_t>(b % 128);
  return v;
}

class AesRtp : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELKIT_REQUIRE_TOOL("openssl");
    auto derived = deriveWithOpenssl();
    ASSERT_TRUE(derived);
    keys = *derived;
    cipher.setRtpMasterKey(masterKey.data());
  }

  // The packet as the mode defines it, with the key stream from openssl.
  Bytes expectedEncryption(const Bytes& packet) {
    if (packet.size() < 12 + 16) return packet;
    const uint32_t whole = static_cast<uint32_t>((packet.size() - 12) / 16) * 16;
    Bytes counters;
    for (uint32_t b = 0; b < whole / 16; ++b) {
      const Bytes v = counterBlock(keys.salt, packet, b);
      counters.insert(counters.end(), v.begin(), v.end());
    }
    const auto keyStream = test::opensslEcb("aes-128-ecb", keys.key, counters);
    EXPECT_TRUE(keyStream);
    Bytes out = packet;
    if (!keyStream) return out;
    for (uint32_t i = 0; i + 4 < whole; ++i) out[12 + i] ^= (*keyStream)[i];
    return out;
  }

  Bytes encryptRtp(Bytes packet) {
    cipher.encryptRtp(packet.data(), static_cast<uint32_t>(packet.size()));
    return packet;
  }

  SessionKeys keys;
  C_CryptAES cipher;
};

TEST_F(AesRtp, MasterKeyDerivesTheRfc3711SessionKeyAndSalt) {
  EXPECT_EQ(toHex(cipher.rtpKey, 16), toHex(keys.key));
  EXPECT_EQ(toHex(cipher.rtpSalt, 16), toHex(keys.salt));

  // The cipher ends keyed for encryption with the session key.
  const Bytes block = randomBytes(16, 5);
  Bytes mine = block;
  cipher.encrypt(mine.data(), 16);
  EXPECT_EQ(test::opensslEcb("aes-128-ecb", keys.key, block), mine);

  C_CryptAES twin;
  twin.setRtpMasterKey(masterKey.data());
  EXPECT_EQ(std::memcmp(twin.roundKeys, cipher.roundKeys, sizeof twin.roundKeys), 0);
  EXPECT_EQ(std::memcmp(twin.rtpSalt, cipher.rtpSalt, sizeof twin.rtpSalt), 0);
}

TEST_F(AesRtp, CounterBlockLayout) {
  Bytes expected = keys.salt;
  const Bytes mask = fromHex("44332211 0000000000000000 00abcd03");
  for (int i = 0; i < 16; ++i) expected[i] ^= mask[i];
  EXPECT_EQ(counterBlock(keys.salt, packetOf(64), 3), expected);
}

// Lengths around the thresholds, a packet past the 128-block period and a
// 70000-byte one (TCP media): only whole payload blocks less their last
// four bytes change, the header never does, and decryption restores.
TEST_F(AesRtp, PacketsOfEveryLengthClassAgreeWithTheOracle) {
  const std::size_t lengths[] = {0, 5, 12, 13, 27, 28, 29, 43, 44, 49, 12 + 16 * 129 + 7, 70000};
  for (std::size_t length : lengths) {
    const Bytes packet = packetOf(length, static_cast<uint32_t>(length));
    const Bytes encryptedPacket = encryptRtp(packet);
    EXPECT_EQ(encryptedPacket, expectedEncryption(packet)) << "length " << length;
    EXPECT_TRUE(std::equal(packet.begin(), packet.begin() + std::min<std::size_t>(12, length),
                           encryptedPacket.begin()))
        << "header changed, length " << length;

    Bytes restored = encryptedPacket;
    cipher.decryptRtp(restored.data(), static_cast<uint32_t>(restored.size()));
    EXPECT_EQ(restored, packet) << "length " << length;
  }
}

TEST_F(AesRtp, KeyStreamRepeatsAfter128Blocks) {
  Bytes packet(12 + 16 * 200, 0);
  std::copy(rtpHeader.begin(), rtpHeader.end(), packet.begin());
  const Bytes keyStream = encryptRtp(packet);
  EXPECT_TRUE(std::equal(keyStream.begin() + 12, keyStream.begin() + 12 + 16,
                         keyStream.begin() + 12 + 128 * 16));
  EXPECT_FALSE(std::equal(keyStream.begin() + 12, keyStream.begin() + 12 + 16, keyStream.begin() + 12 + 16));
}

// Only the timestamp's low 16 bits and the SSRC select the key stream.
TEST_F(AesRtp, HeaderFieldsThatSelectTheKeyStream) {
  const struct {
    int byte;
    bool changesKeyStream;
  } cases[] = {{0, false}, {1, false}, {2, false}, {3, false}, {4, false}, {5, false},
               {6, true},  {7, true},  {8, true},  {9, true},  {10, true}, {11, true}};
  const Bytes packet = packetOf(12 + 64);
  const Bytes reference = encryptRtp(packet);
  for (const auto& c : cases) {
    Bytes changed = packet;
    changed[c.byte] ^= 0x5A;
    const Bytes out = encryptRtp(changed);
    EXPECT_EQ(!std::equal(out.begin() + 12, out.end(), reference.begin() + 12), c.changesKeyStream)
        << "header byte " << c.byte;
  }
}

}  // namespace
}  // namespace zelkit::detail
