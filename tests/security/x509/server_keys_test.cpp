#include "security/x509/server_keys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/engine/core.h"
#include "security/rsa/rsa.h"
#include "security/x509/x509.h"
#include "security/key_fixtures.h"

namespace zelkit::detail {
namespace {

using Bytes = std::vector<uint8_t>;

class ServerKeys : public ::testing::Test {
 protected:
  void TearDown() override {
    for (SslKeyEntry& entry : sslKeyTable) {
      delete[] entry.data;
      entry = SslKeyEntry{};
    }
    delete key_.crt;
    for (KeyRecord* record : {&certificate_, &key_, &intermediate_}) {
      delete[] record->der;
      *record = KeyRecord{};
    }
  }

  // What the server's setSslKeys stores.
  static void configure(SslKeyIndex index, const Bytes& der) {
    delete[] sslKeyTable[index].data;
    sslKeyTable[index].data = new uint8_t[der.size()];
    std::memcpy(sslKeyTable[index].data, der.data(), der.size());
    sslKeyTable[index].length = static_cast<int32_t>(der.size());
  }

  static Bytes openssl(const std::string& command) {
    const auto out = test::runTool("openssl " + command + " 2>/dev/null");
    EXPECT_TRUE(out.has_value()) << command;
    return out.value_or(Bytes{});
  }
  static Bytes keyDer(int bits) {
    return openssl("rsa -traditional -outform DER -in " + test::dataPath("rsa" + std::to_string(bits) + ".pem"));
  }

  int load() { return loadServerKeys(&certificate_, &key_, &intermediate_); }

  static Bytes derOf(const KeyRecord& record) { return Bytes(record.der, record.der + record.derLength); }

  // The loaded key decrypts what the loaded certificate's key encrypts.
  void expectWorkingPair() {
    KeyRecord publicKey;
    ASSERT_EQ(x509ReadPublicKey(certificate_.der, certificate_.derLength, &publicKey), 0);
    uint8_t secret[kPreMasterLength] = {3, 1, 7};
    uint8_t cipher[512];
    int32_t length = sizeof(cipher);
    ASSERT_EQ(rsaEncrypt(&publicKey, secret, kPreMasterLength, cipher, &length), 0);
    uint8_t out[kPreMasterLength];
    int32_t outLength = sizeof(out);
    ASSERT_EQ(rsaDecrypt(&key_, cipher, length, out, &outLength), 0);
    EXPECT_EQ(std::memcmp(out, secret, sizeof(secret)), 0);
  }

  void expectBuiltin() {
    EXPECT_EQ(key_.first.bits, 512);
    EXPECT_EQ(key_.derLength, 318u);
    EXPECT_EQ(intermediate_.derLength, 0u);
    EXPECT_EQ(bigNumCompare(&key_.first, &certificate_.first), 0);
    expectWorkingPair();
  }

  KeyRecord certificate_{};
  KeyRecord key_{};
  KeyRecord intermediate_{};
};

TEST_F(ServerKeys, NothingConfiguredGivesTheBuiltinCredentials) {
  ASSERT_EQ(load(), 0);
  expectBuiltin();
  EXPECT_EQ(key_.fieldsFound, 2u);
  EXPECT_EQ(key_.crt->fieldsFound, kRsaCrtFields);
}

TEST_F(ServerKeys, ConfiguredCredentialsAreLoaded) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const Bytes key = keyDer(2048);
  const Bytes leaf = test::readFile(test::dataPath("leaf.der"));
  const Bytes ca = openssl("x509 -outform DER -in " + test::dataPath("selfsigned.pem"));
  configure(SslPrivateKey, key);
  configure(SslCertificate, leaf);
  configure(SslIntermediateCertificate, ca);
  ASSERT_EQ(load(), 0);
  EXPECT_EQ(derOf(key_), key);
  EXPECT_EQ(derOf(certificate_), leaf);
  EXPECT_EQ(derOf(intermediate_), ca);
  EXPECT_EQ(key_.first.bits, 2048);
  EXPECT_EQ(key_.crt->fieldsFound, kRsaCrtFields);
  expectWorkingPair();
}

// A 4096-bit key's DER is over 2 KB: the records are sized to their entries.
TEST_F(ServerKeys, LargeKeysFit) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const Bytes key = keyDer(4096);
  ASSERT_GT(key.size(), 2048u);
  configure(SslPrivateKey, key);
  configure(SslCertificate,
            openssl("req -x509 -key " + test::dataPath("rsa4096.pem") + " -subj /CN=big -days 30 -outform DER"));
  ASSERT_EQ(load(), 0);
  EXPECT_EQ(derOf(key_), key);
  EXPECT_EQ(key_.first.bits, 4096);
  expectWorkingPair();
}

TEST_F(ServerKeys, IncompleteConfigurationsFallBackToTheBuiltinCredentials) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const Bytes leaf = test::readFile(test::dataPath("leaf.der"));
  struct Case {
    const char* what;
    Bytes key;
    Bytes certificate;
  };
  const Case cases[] = {
      {"certificate only", {}, leaf},
      {"key only", keyDer(2048), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.key.empty()) configure(SslPrivateKey, c.key);
    if (!c.certificate.empty()) configure(SslCertificate, c.certificate);
    configure(SslIntermediateCertificate, leaf);
    ASSERT_EQ(load(), 0);
    expectBuiltin();
    TearDown();
  }
}

// The built-in key is public: a configured pair that cannot be used is
// reported and serves nothing, rather than being replaced by it.
TEST_F(ServerKeys, UnusableConfigurationsServeNoKeyAndAreLogged) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const std::string logs = testing::TempDir() + "server-keys-log";
  std::filesystem::create_directories(logs);
  core().setLoggingDirectory(logs.c_str());
  const Bytes leaf = test::readFile(test::dataPath("leaf.der"));
  struct Case {
    const char* what;
    Bytes key;
    Bytes certificate;
    const char* problem;
  };
  const Case cases[] = {
      {"PKCS#8 key", openssl("pkcs8 -topk8 -nocrypt -outform DER -in " + test::dataPath("rsa2048.pem")), leaf,
       "the private key is not a PKCS#1 RSA private key"},
      {"key of another certificate", keyDer(1024), leaf, "the private key does not belong to the certificate"},
      {"certificate without an RSA key", keyDer(2048), test::readFile(test::dataPath("ec.der")),
       "the certificate holds no usable RSA public key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    configure(SslPrivateKey, c.key);
    configure(SslCertificate, c.certificate);
    configure(SslIntermediateCertificate, leaf);
    ASSERT_EQ(load(), kServerKeysUnusable);
    for (const KeyRecord* record : {&certificate_, &key_, &intermediate_}) {
      EXPECT_EQ(record->derLength, 0u);
      EXPECT_EQ(record->first.bits, 0);
    }
    // Nothing to decrypt a client's key exchange with.
    uint8_t cipher[256] = {0, 2};
    uint8_t out[kPreMasterLength];
    int32_t outLength = sizeof(out);
    EXPECT_NE(rsaDecrypt(&key_, cipher, sizeof(cipher), out, &outLength), 0);
    const std::string log = test::readText(logs + "/127.1.1.1.log");
    EXPECT_NE(log.find(std::string("ssl  Configured server key not usable: ") + c.problem +
                       "; no TLS server handshake will succeed"),
              std::string::npos)
        << log;
    TearDown();
  }
}

TEST_F(ServerKeys, Getters) {
  uint8_t out[8];
  int length = sizeof(out);
  EXPECT_EQ(getServerKey(out, &length), -1);
  EXPECT_EQ(getServerCertificate(out, &length, SslCertificate), -1);
  EXPECT_EQ(getServerCertificate(out, &length, SslIntermediateCertificate), 0);
  EXPECT_EQ(length, 0);

  configure(SslPrivateKey, {1, 2, 3, 4, 5});
  configure(SslCertificate, {6, 7, 8, 9});
  length = sizeof(out);
  EXPECT_EQ(getServerKey(out, &length), 0);
  EXPECT_EQ(length, 5);
  length = 2;
  EXPECT_EQ(getServerCertificate(out, &length, SslCertificate), 0);
  EXPECT_EQ(Bytes(out, out + length), (Bytes{6, 7}));
  // The certificate getter never hands out the key.
  length = sizeof(out);
  EXPECT_EQ(getServerCertificate(out, &length, SslPrivateKey), -1);
  EXPECT_EQ(getServerCertificate(out, &length, 3), -1);
}

}  // namespace
}  // namespace zelkit::detail
