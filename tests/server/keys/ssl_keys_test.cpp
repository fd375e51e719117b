#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "security/x509/server_keys.h"
#include "support/external_tool.h"
#include "zelkit/server.h"

namespace {

using zelkit::ZelServer;
using zelkit::detail::sslKeyTable;
using zelkit::test::Bytes;

const std::string kDataDir = std::string(ZELKIT_SOURCE_DIR) + "/tests/security/data/";

std::string readText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes entry(int index) {
  return Bytes(sslKeyTable[index].data, sslKeyTable[index].data + sslKeyTable[index].length);
}

Bytes opensslDer(const std::string& command) {
  const auto der = zelkit::test::runTool("openssl " + command + " -outform DER");
  EXPECT_TRUE(der) << command;
  return der.value_or(Bytes{});
}

TEST(SetSslKeys, RefusesIndexAndLength) {
  const Bytes four = {1, 2, 3, 4};
  EXPECT_EQ(ZelServer::setSslKeys(static_cast<zelkit::SslKeyIndex>(3), four.data(), 4), -1);
  EXPECT_EQ(ZelServer::setSslKeys(static_cast<zelkit::SslKeyIndex>(-1), four.data(), 4), -1);
  EXPECT_EQ(ZelServer::setSslKeys(zelkit::SslPrivateKey, four.data(), 3), -2);
}

TEST(SetSslKeys, DerAsGivenAndPemDecoded) {
  const std::string certificatePem = readText(kDataDir + "selfsigned.pem");
  const std::string keyPem = readText(kDataDir + "rsa512.pem");
  const Bytes der = opensslDer("x509 -in " + kDataDir + "selfsigned.pem");
  ASSERT_FALSE(der.empty());

  EXPECT_EQ(ZelServer::setSslKeys(zelkit::SslCertificate, der.data(), static_cast<int>(der.size())), 0);
  EXPECT_EQ(entry(1), der);
  // A later call replaces the entry; the intermediate slot reads a
  // certificate too.
  EXPECT_EQ(ZelServer::setSslKeys(zelkit::SslIntermediateCertificate, certificatePem.data(),
                                  static_cast<int>(certificatePem.size())),
            0);
  EXPECT_EQ(entry(2), der);
  EXPECT_EQ(ZelServer::setSslKeys(zelkit::SslPrivateKey, keyPem.data(), static_cast<int>(keyPem.size())), 0);
  EXPECT_EQ(entry(0), opensslDer("rsa -in " + kDataDir + "rsa512.pem -traditional"));
}

TEST(SetSslKeys, PemFailuresLeaveAnEmptyEntry) {
  const std::string keyPem = readText(kDataDir + "rsa512.pem");
  // A key where a certificate belongs: its marker is missing.
  EXPECT_EQ(ZelServer::setSslKeys(zelkit::SslCertificate, keyPem.data(), static_cast<int>(keyPem.size())), -1);
  EXPECT_EQ(sslKeyTable[1].length, 0);
  // Read no further than the length given: the marker line is cut.
  EXPECT_EQ(ZelServer::setSslKeys(zelkit::SslPrivateKey, keyPem.data(), 20), -1);
  EXPECT_EQ(sslKeyTable[0].length, 0);
}

}  // namespace
